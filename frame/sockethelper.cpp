#include "frame/sockethelper.h"

#include <cctype>
#include <cstring>
#include <string>

#include "frame/exceptions.h"

Sockethelper::~Sockethelper() { CloseHandle(); }

void Sockethelper::CloseHandle() {
    if (sock != plat::kInvalidSocket) plat::CloseSocket(sock);
    sock = plat::kInvalidSocket;
    flags = 0;
}

void Sockethelper::SetNonBlocking() {
    if (plat::SetNonBlocking(sock) != 0) throw socket_error("setblocking FIONBIO");
}

int Sockethelper::Recv(char* buf, int size) {
    int r = plat::Recv(sock, buf, size);
    return RecvResult(r, r < 0 ? plat::LastSocketError() : 0);
}

int Sockethelper::Send(const char* data, int len) {
    int r = plat::Send(sock, data, len);
    return SendResult(r, r < 0 ? plat::LastSocketError() : 0);
}

int Sockethelper::RecvResult(int result, int error) {
    if (result >= 0) return result;
    // The code stays the thread's last error for the socket's OnError.
    plat::SetLastSocketError(error);
    throw socket_error(error, "recv");
}

int Sockethelper::SendResult(int result, int error) {
    if (result >= 0) return result;
    if (error == plat::kErrWouldBlock) return 0;
    plat::SetLastSocketError(error);
    throw socket_error(error, "send");
}

int Sockethelper::SendTo(const char* data, int len, uint32_t ip, int port) {
    int r = plat::SendTo(sock, data, len, ip, port);
    if (r < 0) {
        int code = plat::LastSocketError();
        if (code == plat::kErrWouldBlock) return 0;
        throw socket_error(code, "sendto");
    }
    return r;
}

bool Sockethelper::Connect(uint32_t ip, int port) { return ConnectAddress(IPv4Address(ip), port); }

bool Sockethelper::ConnectAddress(const plat::NetAddress& address, int port) {
    if (plat::ConnectAddress(sock, address, port) != 0) {
        int code = plat::LastSocketError();
        if (code == plat::kErrWouldBlock) return false;
        throw socket_error(code, "connect");
    }
    int localPort = 0;
    plat::NetAddress local;
    if (plat::GetSockNameAddress(sock, &local, &localPort) != 0) throw socket_error("getlocal");
    // Two sockets on one host may meet on the same port (a TCP simultaneous
    // open with itself); such a "connection" talks to nobody.
    if (localPort == port && local.v6 == address.v6 && std::memcmp(local.bytes, address.bytes, 16) == 0)
        throw socket_error(0, "dereism connection found");
    flags |= SF_CONNECTED;
    return true;
}

uint32_t Sockethelper::GetLocal(int* port) {
    uint32_t ip = 0;
    int p = 0;
    if (plat::GetSockName(sock, &ip, &p) != 0) throw socket_error("getlocal");
    if (port) *port = p;
    return ip;
}

int Sockethelper::GetConnectError() {
    int err = 0;
    if (plat::GetPendingError(sock, &err) != 0) err = plat::LastSocketError();
    if (err != 0) {
        // The reason stays the thread's last error for the user's OnConnect.
        plat::SetLastSocketError(err);
        return 1;
    }
    flags |= SF_CONNECTED;
    return 0;
}

void Sockethelper::Bind(int port, const char* ip) {
    uint32_t address = 0;
    if (ip && *ip) {
        address = plat::ParseIPv4(ip);
        if (address == kAddrNone) throw socket_error(0, std::string("bind: invalid ip=") + ip);
    }
    if (plat::Bind(sock, address, port) != 0) throw socket_error("bind at " + std::to_string(port));
}

plat::socket_t Sockethelper::Accept(uint32_t* ip, int* port) {
    uint32_t peerIp = 0;
    int peerPort = 0;
    plat::socket_t s = plat::Accept(sock, &peerIp, &peerPort);
    if (s == plat::kInvalidSocket) {
        int code = plat::LastSocketError();
        if (code == plat::kErrWouldBlock) return plat::kInvalidSocket;
        throw socket_error(code, "accept");
    }
    if (ip) *ip = peerIp;
    if (port) *port = peerPort;
    return s;
}

void Sockethelper::SetReuseAddr() {
    if (plat::SetOption(sock, plat::Option::ReuseAddr, 1) != 0) throw socket_error("setreuse");
}

void Sockethelper::SetNoDelay() {
    if (plat::SetOption(sock, plat::Option::NoDelay, 1) != 0) throw socket_error("setnodelay");
}

namespace {

// Letters, digits, '-', '.' and '_' only: anything else cannot be a host
// name, and handing it to the resolver would only send a useless query.
bool PlausibleHostName(const std::string& host) {
    if (host.empty() || host.size() > 253) return false;
    for (unsigned char c : host) {
        if (!(std::isalnum(c) || c == '-' || c == '.' || c == '_')) return false;
    }
    return true;
}

}  // namespace

uint32_t ResolveHost(const std::string& host) {
    uint32_t ip = plat::ParseIPv4(host.c_str());
    if (ip != kAddrNone) return ip;
    if (!PlausibleHostName(host)) return kAddrNone;
    return plat::LookupHost(host.c_str());
}

plat::NetAddress IPv4Address(uint32_t ip) {
    plat::NetAddress a;
    std::memcpy(a.bytes, &ip, 4);
    return a;
}

bool LiteralAddress(const std::string& host, plat::NetAddress* address) {
    const uint32_t ip = plat::ParseIPv4(host.c_str());
    if (ip != kAddrNone) {
        *address = IPv4Address(ip);
        return true;
    }
    return plat::ParseIPv6(host.c_str(), address);
}

bool ResolveHostAddresses(const std::string& host, std::vector<plat::NetAddress>* addresses) {
    addresses->clear();
    plat::NetAddress literal;
    if (LiteralAddress(host, &literal)) {
        addresses->push_back(literal);
    } else if (PlausibleHostName(host)) {
        plat::LookupAddresses(host.c_str(), addresses);
    }
    return !addresses->empty();
}
