// The send-only datagram socket: bound to a local port, associated with a
// remote address, never watched by its frame.
#ifndef VEMNET_UDP_SOCKET_H
#define VEMNET_UDP_SOCKET_H

#include "frame/base_socket.h"
#include "vemnet/sock.h"

class UdpSocket : public BaseSocket, public IUDPSock {
public:
    UdpSocket(void* callback, BaseSelector* frame);
    ~UdpSocket() override {}

    // Never registered, so never called.
    void OnEvent(unsigned) override {}

    // Socket, bind to local_port, association with host:port. Raises
    // socket_error ("create socket", "bind at <port>", "connect",
    // "dereism connection found", "udp conect"); the caller owns nothing then.
    void Open(const char* host, int port, int local_port);

    // IUDPSock
    int SendTo(const char* data, int len, unsigned ip, int port) override;
    void Close() override;
    void SetTimer(int) override {}

    IUDPSock* AsUdp() { return this; }
    // Kept for the creator; the socket receives nothing to report.
    void* callback() const { return callback_; }

private:
    void* callback_;
};

#endif
