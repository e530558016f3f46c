#include "tests/support/loopback_pair.h"

namespace testing_support {

uint32_t Loopback() { return plat::ParseIPv4("127.0.0.1"); }

plat::socket_t Listen(int* port, int backlog) {
    plat::StartSockets();
    plat::socket_t l = plat::OpenSocket(true);
    if (l == plat::kInvalidSocket) return l;
    if (plat::Bind(l, Loopback(), 0) != 0 || plat::Listen(l, backlog) != 0) {
        plat::CloseSocket(l);
        return plat::kInvalidSocket;
    }
    uint32_t ip;
    plat::GetSockName(l, &ip, port);
    return l;
}

bool ConnectedPair(plat::socket_t* a, plat::socket_t* b) {
    int port = 0;
    plat::socket_t l = Listen(&port, 1);
    if (l == plat::kInvalidSocket) return false;
    plat::socket_t c = plat::OpenSocket(true);
    bool ok = c != plat::kInvalidSocket && plat::Connect(c, Loopback(), port) == 0;
    plat::socket_t s = ok ? plat::Accept(l, nullptr, nullptr) : plat::kInvalidSocket;
    plat::CloseSocket(l);
    if (!ok || s == plat::kInvalidSocket) {
        if (c != plat::kInvalidSocket) plat::CloseSocket(c);
        return false;
    }
    *a = c;
    *b = s;
    return true;
}

bool RecvAll(plat::socket_t s, char* buf, int len) {
    while (len > 0) {
        int r = plat::Recv(s, buf, len);
        if (r <= 0) return false;
        buf += r;
        len -= r;
    }
    return true;
}

bool SendAll(plat::socket_t s, const char* buf, int len) {
    while (len > 0) {
        int r = plat::Send(s, buf, len);
        if (r <= 0) return false;
        buf += r;
        len -= r;
    }
    return true;
}

}  // namespace testing_support
