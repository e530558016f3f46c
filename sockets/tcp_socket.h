// The asynchronous TCP stream socket: a non-blocking connect turned into a
// connect result, then readiness and timer events routed to typed handlers.
//
// Threads: events arrive on the frame's thread, which holds the frame lock
// while it dispatches. Code on any other thread that touches a socket holds
// the frame lock (FrameGuard) while doing so.
#ifndef VEMNET_TCP_SOCKET_H
#define VEMNET_TCP_SOCKET_H

#include <cstdint>
#include <memory>
#include <vector>

#include "frame/base_socket.h"
#include "sockets/connect_race.h"
#include "vemnet/sock.h"

class TcpSocket : public BaseSocket, public ISock {
public:
    explicit TcpSocket(BaseSelector* frame);
    ~TcpSocket() override;

    // Connect state machine until SF_CONNECTED, then routing to the handlers
    // below. Any std::exception ends in HandleError and self-deletion.
    void OnEvent(unsigned mask) override;

    virtual void HandleRead() = 0;
    virtual void HandleWrite() = 0;
    virtual void HandleError(int code, const char* text) = 0;
    virtual void HandleTimer() = 0;
    virtual void HandleConnect(int status) = 0;

    // Starts the connect to ip:port. timeout > 0: non-blocking, abandoned as
    // status 2 after timeout ms; otherwise a blocking connect on the calling
    // thread, made without holding the frame lock. Takes the frame lock for
    // registration and the immediate OnConnect(0).
    //
    // false: the attempt could not be started and the socket no longer exists
    // (no callback was made). Throws socket_error "create socket" when no
    // handle can be made; the socket no longer exists then either.
    //
    // Several addresses: a blocking connect tries them in turn; otherwise
    // they race (ConnectRace), and the socket gets the winner's handle.
    bool AsyncConnect(const std::vector<plat::NetAddress>& addresses, int port, int timeout);

    // From the race: the attempt to address connected on handle, or every
    // attempt failed (code the last one's error).
    void RaceWon(plat::socket_t handle, const plat::NetAddress& address);
    void RaceLost(int code);

    // The address the socket connected to (meaningful once an outgoing
    // connect succeeded; an accepted socket has none).
    const plat::NetAddress& PeerAddress() const;

    // Takes over a connected handle (an accepted connection), makes it
    // non-blocking and watches it for reading. On failure the
    // socket, and with it the handle, no longer exists and the exception
    // reaches the caller.
    void Attach(plat::socket_t s);

    ISock* AsSock() { return this; }

protected:
    // Deletes a socket that the frame has never watched (it needs the frame
    // lock only for its timer entry). Frame state is safe from any thread.
    void DestroyUnwatched();

    bool ConnectFailed() const { return connectFailed_; }
    // The addresses still race: no handle yet.
    bool Racing() const { return race_ != nullptr && helper_.sock == plat::kInvalidSocket; }

private:
    // Several addresses in turn, on the calling thread; true when one
    // connected (its handle kept).
    bool BlockingConnect(const std::vector<plat::NetAddress>& addresses, int port);
    bool RaceConnect(const std::vector<plat::NetAddress>& addresses, int port, int timeout);
    // Runs step(arg) as an event of the socket: whatever it throws ends in
    // HandleError and self-deletion.
    void Guarded(void (TcpSocket::*step)(unsigned), unsigned arg);
    void Dispatch(unsigned mask);
    void ReportConnect(unsigned status);
    void ConnectEvent(unsigned mask);
    // Set once a pending connect was reported failed: the handle can no longer
    // connect, and stays readable/writable on some platforms.
    bool connectFailed_;
    std::unique_ptr<ConnectRace> race_;
    // Only a socket that connects out has one: an accepted socket, the most
    // numerous kind, spends a pointer on it, not a whole address.
    std::unique_ptr<plat::NetAddress> peer_;
    void SetPeer(const plat::NetAddress& address);
};

#endif
