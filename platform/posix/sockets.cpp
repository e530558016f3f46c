// BSD sockets behind the Windows Sockets-shaped calls of the platform layer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "platform/posix/errno_map.h"
#include "platform/socket_address.h"

namespace plat {
namespace {

sockaddr_in MakeAddr(uint32_t ip, int port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = ip;
    return a;
}

void StoreAddr(const sockaddr_in& a, uint32_t* ip, int* port) {
    if (ip) *ip = a.sin_addr.s_addr;
    if (port) *port = ntohs(a.sin_port);
}

int Fail() {
    SetLastErrorFromErrno();
    return -1;
}

bool OptionLevel(Option opt, int* level, int* name) {
    switch (opt) {
    case Option::ReuseAddr: *level = SOL_SOCKET; *name = SO_REUSEADDR; return true;
    case Option::NoDelay: *level = IPPROTO_TCP; *name = TCP_NODELAY; return true;
    }
    return false;
}

}  // namespace

bool StartSockets() {
    // Sends use MSG_NOSIGNAL; this covers any other path to a closed peer.
    static const bool ignored = (signal(SIGPIPE, SIG_IGN), true);
    (void)ignored;
    return true;
}

socket_t OpenSocket(bool stream) {
    int s = ::socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (s < 0) {
        SetLastErrorFromErrno();
        return kInvalidSocket;
    }
    return s;
}

int CloseSocket(socket_t s) { return ::close(s) == 0 ? 0 : Fail(); }

int SetNonBlocking(socket_t s) {
    int fl = ::fcntl(s, F_GETFL, 0);
    if (fl < 0 || ::fcntl(s, F_SETFL, fl | O_NONBLOCK) < 0) return Fail();
    return 0;
}

int Connect(socket_t s, uint32_t ip, int port) {
    sockaddr_in a = MakeAddr(ip, port);
    int r;
    do {
        r = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } while (r < 0 && errno == EINTR && (::fcntl(s, F_GETFL, 0) & O_NONBLOCK) == 0);
    return r == 0 ? 0 : Fail();
}

int Bind(socket_t s, uint32_t ip, int port) {
    sockaddr_in a = MakeAddr(ip, port);
    return ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 0 : Fail();
}

int Listen(socket_t s, int backlog) { return ::listen(s, backlog) == 0 ? 0 : Fail(); }

socket_t Accept(socket_t s, uint32_t* ip, int* port) {
    sockaddr_in a;
    socklen_t len = sizeof a;
    // Windows hands out accepted sockets in the listener's blocking mode;
    // Linux does not inherit O_NONBLOCK, so carry it over.
    int flags = SOCK_CLOEXEC;
    int fl = ::fcntl(s, F_GETFL, 0);
    if (fl >= 0 && (fl & O_NONBLOCK)) flags |= SOCK_NONBLOCK;
    int c = ::accept4(s, reinterpret_cast<sockaddr*>(&a), &len, flags);
    if (c < 0) {
        SetLastErrorFromErrno();
        return kInvalidSocket;
    }
    StoreAddr(a, ip, port);
    return c;
}

int Recv(socket_t s, char* buf, int len) {
    ssize_t r;
    do {
        r = ::recv(s, buf, size_t(len), 0);
    } while (r < 0 && errno == EINTR);
    return r >= 0 ? int(r) : Fail();
}

int Send(socket_t s, const char* buf, int len) {
    ssize_t r;
    do {
        r = ::send(s, buf, size_t(len), MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return r >= 0 ? int(r) : Fail();
}

int SendTo(socket_t s, const char* buf, int len, uint32_t ip, int port) {
    sockaddr_in a = MakeAddr(ip, port);
    ssize_t r;
    do {
        r = ::sendto(s, buf, size_t(len), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof a);
    } while (r < 0 && errno == EINTR);
    return r >= 0 ? int(r) : Fail();
}

int GetSockName(socket_t s, uint32_t* ip, int* port) {
    sockaddr_in a;
    socklen_t len = sizeof a;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) return Fail();
    StoreAddr(a, ip, port);
    return 0;
}

int GetPendingError(socket_t s, int* code) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return Fail();
    *code = TranslateErrno(err);
    return 0;
}

int SetOption(socket_t s, Option opt, int value) {
    int level, name;
    if (!OptionLevel(opt, &level, &name)) {
        SetLastSocketError(kErrInvalid);
        return -1;
    }
    return ::setsockopt(s, level, name, &value, sizeof value) == 0 ? 0 : Fail();
}

uint32_t ParseIPv4(const char* text) { return ::inet_addr(text); }

uint32_t LookupHost(const char* name) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &res) != 0 || !res) {
        SetLastSocketError(kErrHostNotFound);
        return INADDR_NONE;
    }
    uint32_t ip = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(res);
    return ip;
}

namespace {

// getaddrinfo for one family (or both: AF_UNSPEC) with the given flags.
bool AskResolver(const std::string& name, int family, int flags, std::vector<NetAddress>* out) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* res = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0 || !res) return false;
    CollectAddresses(res, out);
    ::freeaddrinfo(res);
    return !out->empty();
}

}  // namespace

bool ParseIPv6(const char* text, NetAddress* address) {
    std::vector<NetAddress> found;
    if (!AskResolver(WithoutBrackets(text), AF_INET6, AI_NUMERICHOST, &found)) return false;
    if (address) *address = found.front();
    return true;
}

bool LookupAddresses(const char* name, std::vector<NetAddress>* addresses) {
    addresses->clear();
    // No AI_ADDRCONFIG: it drops IPv6 answers on hosts whose only IPv6
    // address is the loopback one, where ::1 still serves; an address that
    // cannot be reached costs the race one failed attempt.
    if (!name || !AskResolver(name, AF_UNSPEC, 0, addresses)) {
        SetLastSocketError(kErrHostNotFound);
        return false;
    }
    return true;
}

std::string AddressText(const NetAddress& address) {
    char text[INET6_ADDRSTRLEN] = "";
    ::inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes, text, sizeof text);
    return text;
}

socket_t OpenStreamSocket(const NetAddress& family) {
    int s = ::socket(family.v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        SetLastErrorFromErrno();
        return kInvalidSocket;
    }
    return s;
}

int ConnectAddress(socket_t s, const NetAddress& address, int port) {
    sockaddr_storage a;
    const socklen_t len = socklen_t(ToSockaddr(address, port, &a));
    int r;
    do {
        r = ::connect(s, reinterpret_cast<sockaddr*>(&a), len);
    } while (r < 0 && errno == EINTR && (::fcntl(s, F_GETFL, 0) & O_NONBLOCK) == 0);
    return r == 0 ? 0 : Fail();
}

int GetSockNameAddress(socket_t s, NetAddress* address, int* port) {
    sockaddr_storage a;
    socklen_t len = sizeof a;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) return Fail();
    if (!FromSockaddr(reinterpret_cast<sockaddr*>(&a), address, port)) {
        SetLastSocketError(kErrInvalid);
        return -1;
    }
    return 0;
}

}  // namespace plat
