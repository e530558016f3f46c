// Happy Eyeballs (RFC 8305) for a TcpSocket given several addresses: the
// addresses are tried in turn, families interleaved, each attempt started
// kStaggerMs after the one before it unless that one failed first; the
// first to connect wins and hands its handle to the socket, and the others
// are closed.
//
// Frame thread, or a host thread holding the frame lock (the first
// attempt). The race belongs to its socket and ends with it.
#ifndef VEMNET_CONNECT_RACE_H
#define VEMNET_CONNECT_RACE_H

#include <vector>

#include "platform/platform.h"

class TcpSocket;
class ConnectAttempt;

// The order the race tries addresses in: the first address's family first
// (the system's preference), then the families in turn, each family's
// addresses in their own order.
std::vector<plat::NetAddress> InterleaveFamilies(const std::vector<plat::NetAddress>& addresses);

class ConnectRace {
public:
    // The wait before the next address is tried while an attempt is still
    // under way (RFC 8305's recommended Connection Attempt Delay).
    static const int kStaggerMs = 250;

    ConnectRace(TcpSocket* owner, const std::vector<plat::NetAddress>& addresses, int port);
    // Closes the attempts still under way.
    ~ConnectRace();
    ConnectRace(const ConnectRace&) = delete;
    ConnectRace& operator=(const ConnectRace&) = delete;

    // Starts the first attempt, and the next ones as long as attempts fail
    // at once. False when every address failed at once (the thread's last
    // socket error says why); no event follows then.
    bool Start();

    // From the attempts, on the frame's thread.
    void Connected(ConnectAttempt* attempt);
    void Failed(ConnectAttempt* attempt, int code);
    void Stalled(ConnectAttempt* attempt);

private:
    // Starts attempts until one is under way or has connected; false when
    // the addresses ran out first.
    bool StartNext();
    void Drop(ConnectAttempt* attempt);
    void DropAll();

    TcpSocket* owner_;
    std::vector<plat::NetAddress> addresses_;
    size_t next_;
    int port_;
    std::vector<ConnectAttempt*> running_;
    ConnectAttempt* newest_;
    int lastError_;
};

#endif
