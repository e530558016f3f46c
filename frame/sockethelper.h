// The socket handle of a BaseSocket and the socket calls that can fail, each
// turning a failure into socket_error.
#ifndef VEMNET_SOCKETHELPER_H
#define VEMNET_SOCKETHELPER_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

enum : unsigned {
    SF_MASK = 0xff,          // current interest mask
    SF_REGISTERED = 0x100,   // the frame's handler set has an entry
    SF_CONNECTED = 0x200,
    SF_LISTENING = 0x800,
};

const uint32_t kAddrNone = 0xffffffffu;   // INADDR_NONE

class Sockethelper {
public:
    Sockethelper() : flags(0), sock(plat::kInvalidSocket) {}
    virtual ~Sockethelper();
    Sockethelper(const Sockethelper&) = delete;
    Sockethelper& operator=(const Sockethelper&) = delete;

    void SetNonBlocking();                          // "setblocking FIONBIO"
    int Recv(char* buf, int size);                  // "recv"; 0 when the peer closed
    int Send(const char* data, int len);            // "send"; 0 on would-block
    // What Recv and Send make of a call's result (bytes, or -1 with the
    // Windows Sockets code error), for calls made elsewhere (a batch).
    static int RecvResult(int result, int error);
    static int SendResult(int result, int error);
    int SendTo(const char* data, int len, uint32_t ip, int port);  // "sendto"
    // true: connected at once; false: in progress; throws "connect" or
    // "dereism connection found".
    bool Connect(uint32_t ip, int port);
    bool ConnectAddress(const plat::NetAddress& address, int port);   // either family
    uint32_t GetLocal(int* port);                   // "getlocal"
    int GetConnectError();                          // 0 (sets SF_CONNECTED) or 1
    void Bind(int port, const char* ip);            // "bind: invalid ip=…", "bind at …"
    plat::socket_t Accept(uint32_t* ip, int* port); // invalid on would-block; "accept"
    void SetReuseAddr();                            // "setreuse"
    void SetNoDelay();                              // "setnodelay"
    void CloseHandle();

    unsigned flags;
    plat::socket_t sock;
};

// inet_addr, else a host lookup; kAddrNone when the name does not resolve.
uint32_t ResolveHost(const std::string& host);
// Every address host stands for: a dotted IPv4 address (inet_addr's forms)
// or an IPv6 literal ("::1", "[::1]") as itself, else the addresses of both
// families a lookup gives, in the system's order; false when there are none.
bool ResolveHostAddresses(const std::string& host, std::vector<plat::NetAddress>* addresses);
plat::NetAddress IPv4Address(uint32_t ip);
// host as a numeric address of either family (no lookup); false for a name.
bool LiteralAddress(const std::string& host, plat::NetAddress* address);

#endif
