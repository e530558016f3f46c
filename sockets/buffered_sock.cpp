#include "sockets/buffered_sock.h"

#include "frame/sockethelper.h"

template class TBufferedSock<SocketQueue, SocketQueue>;

ISock* StartBufferedConnect(BufferedSock* sock, const char* host, int port, int timeout) {
    std::vector<plat::NetAddress> addresses;
    ResolveHostAddresses(host ? host : "", &addresses);
    return StartBufferedConnect(sock, addresses, port, timeout);
}

ISock* StartBufferedConnect(BufferedSock* sock, const std::vector<plat::NetAddress>& addresses, int port,
                            int timeout) {
    ISock* user = sock->AsSock();
    return sock->AsyncConnect(addresses, port, timeout) ? user : nullptr;
}

ISock* StartBufferedAccepted(BufferedSock* sock, plat::socket_t s) {
    ISock* user = sock->AsSock();
    sock->Attach(s);
    return user;
}
