// The listening TCP socket: accepts on the frame's thread and hands each
// connection, as a raw handle, to the host's acceptor.
#ifndef VEMNET_SERVER_SOCKET_H
#define VEMNET_SERVER_SOCKET_H

#include <cstdint>
#include <memory>

#include "frame/base_socket.h"
#include "vemnet/sock.h"

class ServerSocket : public BaseSocket, public IServerSock {
public:
    ServerSocket(IAServerCallback* acceptor, BaseSelector* frame);
    ~ServerSocket() override;

    // EV_READ accepts one connection (a burst is taken one per cycle: the
    // handle stays readable while connections wait), or up to
    // AcceptsPerEvent where SetAcceptsPerEvent raised it; errors, also
    // those of the acceptor, are dropped and the listener keeps listening.
    void OnEvent(unsigned mask) override;
    virtual void HandleAccept(plat::socket_t s, uint32_t ip, int port);
    virtual void HandleTimer() {}

    // Socket, options, bind, listen. Raises socket_error; the listener is
    // not registered yet and the caller still owns it.
    void Open(int port, const char* ip, int flags);
    // Watches the listening handle; raises "too many connections".
    void Register();

    // IServerSock
    void Close() override;
    int GetLocalPort() override;

    IServerSock* AsServer() { return this; }
    int Options() const { return options_; }
    int AcceptsPerEvent() const { return acceptsPerEvent_; }
    // For the poller benchmark, which must fill a frame with 10,000
    // connections under wine: a non-blocking listener takes up to n waiting
    // connections per readable event. Hosts always get one per event.
    void SetAcceptsPerEvent(int n);

private:
    void AcceptWaiting();

    IAServerCallback* acceptor_;
    int acceptsPerEvent_;
    int options_;
    // False once the listener is deleted: AcceptWaiting holds a copy, to know
    // when the acceptor closed the listener under it.
    std::shared_ptr<bool> alive_;
};

#endif
