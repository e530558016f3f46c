#include "platform/win32/wake_datagram.h"

#include <cstring>

namespace plat {

WakeDatagram::~WakeDatagram() {
    if (sock_ != INVALID_SOCKET) closesocket(sock_);
}

SOCKET WakeDatagram::Socket() {
    std::lock_guard<std::mutex> guard(lock_);
    if (sock_ != INVALID_SOCKET || failed_) return sock_;
    int saved = WSAGetLastError();
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET && WSAGetLastError() == WSANOTINITIALISED) {
        WSADATA data;
        if (WSAStartup(MAKEWORD(1, 1), &data) == 0) s = socket(AF_INET, SOCK_DGRAM, 0);
    }
    sockaddr_in a;
    std::memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    int len = sizeof(a);
    u_long on = 1;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0 || ioctlsocket(s, FIONBIO, &on) != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        failed_ = true;
        WSASetLastError(saved);
        return INVALID_SOCKET;
    }
    addr_ = a;
    sock_ = s;
    WSASetLastError(saved);
    return s;
}

void WakeDatagram::Wake() {
    SOCKET s = Socket();
    if (s == INVALID_SOCKET) return;
    if (pending_.exchange(true)) return;
    int saved = WSAGetLastError();
    char byte = 1;
    if (sendto(s, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&addr_), sizeof(addr_)) != 1) pending_.store(false);
    WSASetLastError(saved);
}

void WakeDatagram::Consume() {
    // Cleared before the datagram is taken: a Wake that comes in between
    // sends a datagram of its own, which stays queued for the next wait.
    pending_.store(false);
    int saved = WSAGetLastError();
    char byte[16];
    recv(sock_, byte, sizeof(byte), 0);
    WSASetLastError(saved);
}

}  // namespace plat
