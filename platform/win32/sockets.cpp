// Windows Sockets calls. Results and error codes are the system's own; the
// only additions are address packing and a late start of Windows Sockets
// for callers that reach a socket call before any frame started it.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>
#include <stdexcept>

#include "platform/platform.h"
#include "platform/socket_address.h"

namespace plat {

namespace {

sockaddr_in MakeAddress(uint32_t ip, int port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ip;
    a.sin_port = htons(static_cast<u_short>(port));
    return a;
}

void SplitAddress(const sockaddr_in& a, uint32_t* ip, int* port) {
    if (ip) *ip = a.sin_addr.s_addr;
    if (port) *port = ntohs(a.sin_port);
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
    // The first C++ exception thrown in the process sets the runtime's
    // unwinding machinery up, and that clears the thread's last error on the
    // way, so the first catch site of the process would report 0 instead of
    // the socket error that caused the throw. Throwing once here, before any
    // socket call, gets that out of the way.
    static const bool warmed = [] {
        int saved = WSAGetLastError();
        try {
            throw std::runtime_error("warm-up");
        } catch (const std::exception&) {
        }
        WSASetLastError(saved);
        return true;
    }();
    (void)warmed;
    WSADATA data;
    int rc = WSAStartup(MAKEWORD(1, 1), &data);
    if (rc != 0) {
        WSASetLastError(rc);
        return false;
    }
    return true;
}

socket_t OpenSocket(bool stream) {
    SOCKET s = socket(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, 0);
    // Sockets made before any frame (a test, a host that opens a socket
    // first) would otherwise fail for good with WSANOTINITIALISED; the
    // library never cleans Windows Sockets up, so starting it here costs
    // nothing later.
    if (s == INVALID_SOCKET && WSAGetLastError() == WSANOTINITIALISED && StartSockets())
        s = socket(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, 0);
    return static_cast<socket_t>(s);
}

int CloseSocket(socket_t s) { return closesocket(static_cast<SOCKET>(s)); }

int SetNonBlocking(socket_t s) {
    u_long on = 1;
    return ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on);
}

int Connect(socket_t s, uint32_t ip, int port) {
    sockaddr_in a = MakeAddress(ip, port);
    return connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), sizeof(a));
}

int Bind(socket_t s, uint32_t ip, int port) {
    sockaddr_in a = MakeAddress(ip, port);
    return bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), sizeof(a));
}

int Listen(socket_t s, int backlog) { return listen(static_cast<SOCKET>(s), backlog); }

socket_t Accept(socket_t s, uint32_t* ip, int* port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof(a));
    int len = sizeof(a);
    SOCKET c = accept(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), &len);
    if (c != INVALID_SOCKET) SplitAddress(a, ip, port);
    return static_cast<socket_t>(c);
}

int Recv(socket_t s, char* buf, int len) { return recv(static_cast<SOCKET>(s), buf, len, 0); }

int Send(socket_t s, const char* buf, int len) { return send(static_cast<SOCKET>(s), buf, len, 0); }

int SendTo(socket_t s, const char* buf, int len, uint32_t ip, int port) {
    sockaddr_in a = MakeAddress(ip, port);
    return sendto(static_cast<SOCKET>(s), buf, len, 0, reinterpret_cast<sockaddr*>(&a), 16);
}

int GetSockName(socket_t s, uint32_t* ip, int* port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof(a));
    int len = sizeof(a);
    int rc = getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), &len);
    if (rc == 0) SplitAddress(a, ip, port);
    return rc;
}

int GetPendingError(socket_t s, int* code) {
    int value = 0;
    int len = sizeof(value);
    int rc = getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &len);
    if (rc == 0 && code) *code = value;
    return rc;
}

int SetOption(socket_t s, Option opt, int value) {
    int level = 0, name = 0;
    if (!OptionLevel(opt, &level, &name)) {
        WSASetLastError(WSAENOPROTOOPT);
        return -1;
    }
    // Both options are booleans, BOOL-sized; any non-zero value means on.
    BOOL on = value != 0;
    return setsockopt(static_cast<SOCKET>(s), level, name, reinterpret_cast<const char*>(&on), sizeof(on));
}

uint32_t ParseIPv4(const char* text) {
    if (text == nullptr) return INADDR_NONE;
    return inet_addr(text);
}

uint32_t LookupHost(const char* name) {
    if (name == nullptr) return INADDR_NONE;
    hostent* h = gethostbyname(name);
    if (h == nullptr && WSAGetLastError() == WSANOTINITIALISED && StartSockets())
        h = gethostbyname(name);
    if (h == nullptr || h->h_addrtype != AF_INET || h->h_length != 4 || h->h_addr_list == nullptr ||
        h->h_addr_list[0] == nullptr)
        return INADDR_NONE;
    uint32_t ip;
    std::memcpy(&ip, h->h_addr_list[0], 4);
    return ip;
}

namespace {

// getaddrinfo for one family (or both: AF_UNSPEC) with the given flags,
// starting Windows Sockets first when nothing has.
bool AskResolver(const std::string& name, int family, int flags, std::vector<NetAddress>* out) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(name.c_str(), nullptr, &hints, &res);
    if (rc == WSANOTINITIALISED && StartSockets()) rc = getaddrinfo(name.c_str(), nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) return false;
    CollectAddresses(res, out);
    freeaddrinfo(res);
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
    if (name == nullptr || !AskResolver(name, AF_UNSPEC, 0, addresses)) {
        WSASetLastError(WSAHOST_NOT_FOUND);
        return false;
    }
    return true;
}

std::string AddressText(const NetAddress& address) {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(address.v6 ? AF_INET6 : AF_INET, const_cast<unsigned char*>(address.bytes), text, sizeof(text));
    return text;
}

socket_t OpenStreamSocket(const NetAddress& family) {
    const int af = family.v6 ? AF_INET6 : AF_INET;
    SOCKET s = socket(af, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET && WSAGetLastError() == WSANOTINITIALISED && StartSockets())
        s = socket(af, SOCK_STREAM, 0);
    return static_cast<socket_t>(s);
}

int ConnectAddress(socket_t s, const NetAddress& address, int port) {
    sockaddr_storage a;
    const int len = ToSockaddr(address, port, &a);
    return connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), len);
}

int GetSockNameAddress(socket_t s, NetAddress* address, int* port) {
    sockaddr_storage a;
    std::memset(&a, 0, sizeof(a));
    int len = sizeof(a);
    int rc = getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), &len);
    if (rc != 0) return rc;
    if (!FromSockaddr(reinterpret_cast<sockaddr*>(&a), address, port)) {
        WSASetLastError(WSAEINVAL);
        return -1;
    }
    return 0;
}

}  // namespace plat
