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

    static const int kMostAcceptsPerEvent;

    // EV_READ accepts the connections waiting, up to AcceptsPerEvent (a
    // non-blocking listener kMostAcceptsPerEvent, a blocking one 1); errors, also
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
