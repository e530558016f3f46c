#include "sockets/buffered_sock.h"

#include "frame/sockethelper.h"

template class TBufferedSock<SocketQueue, SocketQueue>;

ISock* StartBufferedConnect(BufferedSock* sock, const char* host, int port, int timeout) {
    ISock* user = sock->AsSock();
    uint32_t ip = ResolveHost(host ? host : "");
    return sock->AsyncConnect(ip, port, timeout) ? user : nullptr;
}

ISock* StartBufferedAccepted(BufferedSock* sock, plat::socket_t s) {
    ISock* user = sock->AsSock();
    sock->Attach(s);
    return user;
}
