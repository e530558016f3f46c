#include "tests/support/raw_sockets.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace testing_support {

int RecvFrom(plat::socket_t s, char* buf, int len, uint32_t* ip, int* port) {
    sockaddr_in a{};
    socklen_t alen = sizeof a;
    ssize_t r;
    do {
        r = ::recvfrom(s, buf, size_t(len), 0, reinterpret_cast<sockaddr*>(&a), &alen);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    if (ip) *ip = a.sin_addr.s_addr;
    if (port) *port = ntohs(a.sin_port);
    return int(r);
}

bool HasPeer(plat::socket_t s) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    return ::getpeername(s, reinterpret_cast<sockaddr*>(&a), &len) == 0;
}

void ResetOnClose(plat::socket_t s) {
    linger l{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

int ReadOption(plat::socket_t s, plat::Option opt, int* value) {
    const int level = opt == plat::Option::NoDelay ? IPPROTO_TCP : SOL_SOCKET;
    const int name = opt == plat::Option::NoDelay ? TCP_NODELAY : SO_REUSEADDR;
    socklen_t len = sizeof *value;
    return ::getsockopt(s, level, name, value, &len) == 0 ? 0 : -1;
}

plat::socket_t ListenIPv6Loopback(int port, int backlog, int* bound) {
    int s = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return plat::kInvalidSocket;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    a.sin6_port = htons(uint16_t(port));
    socklen_t len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, backlog) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(s);
        return plat::kInvalidSocket;
    }
    if (bound) *bound = ntohs(a.sin6_port);
    return s;
}

plat::socket_t AcceptAny(plat::socket_t listener) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    int c = ::accept(listener, reinterpret_cast<sockaddr*>(&a), &len);
    return c < 0 ? plat::kInvalidSocket : c;
}

}  // namespace testing_support
