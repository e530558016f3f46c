#include <winsock2.h>
#include <ws2tcpip.h>

#include "tests/support/raw_sockets.h"

namespace testing_support {

int RecvFrom(plat::socket_t s, char* buf, int len, uint32_t* ip, int* port) {
    sockaddr_in a{};
    int alen = sizeof a;
    int n = recvfrom(static_cast<SOCKET>(s), buf, len, 0, reinterpret_cast<sockaddr*>(&a), &alen);
    if (n < 0) return -1;
    if (ip) *ip = a.sin_addr.s_addr;
    if (port) *port = ntohs(a.sin_port);
    return n;
}

bool HasPeer(plat::socket_t s) {
    sockaddr_in a{};
    int len = sizeof a;
    return getpeername(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), &len) == 0;
}

void ResetOnClose(plat::socket_t s) {
    linger l{1, 0};
    ::setsockopt(SOCKET(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
}

int ReadOption(plat::socket_t s, plat::Option opt, int* value) {
    const int level = opt == plat::Option::NoDelay ? IPPROTO_TCP : SOL_SOCKET;
    const int name = opt == plat::Option::NoDelay ? TCP_NODELAY : SO_REUSEADDR;
    int v = 0;
    int len = sizeof v;
    if (getsockopt(static_cast<SOCKET>(s), level, name, reinterpret_cast<char*>(&v), &len) != 0) return -1;
    // Some stacks fill in a single byte for boolean options.
    *value = len == 1 ? (v & 0xff) : v;
    return 0;
}

plat::socket_t ListenIPv6Loopback(int port, int backlog, int* bound) {
    SOCKET s = socket(AF_INET6, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET && plat::StartSockets()) s = socket(AF_INET6, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return plat::kInvalidSocket;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(static_cast<u_short>(port));
    int len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, backlog) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        closesocket(s);
        return plat::kInvalidSocket;
    }
    if (bound) *bound = ntohs(a.sin6_port);
    return static_cast<plat::socket_t>(s);
}

plat::socket_t AcceptAny(plat::socket_t listener) {
    sockaddr_storage a{};
    int len = sizeof a;
    SOCKET c = accept(static_cast<SOCKET>(listener), reinterpret_cast<sockaddr*>(&a), &len);
    return c == INVALID_SOCKET ? plat::kInvalidSocket : static_cast<plat::socket_t>(c);
}

}  // namespace testing_support
