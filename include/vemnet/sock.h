// Buffered TCP sockets, listening sockets and send-only UDP sockets living in a frame.
#ifndef VEMNET_SOCK_H
#define VEMNET_SOCK_H

#include "vemnet/frame.h"


// A buffered TCP socket. Never deleted by its user: released with Close.
class ISock {
public:
    // true when the bytes were queued whole (or there were none); false when
    // they do not fit the 262144-byte output queue (nothing is queued), or
    // when the connect failed (OnConnect with a non-zero status).
    virtual bool Send(const char* data, unsigned len) = 0;
    // Releases the socket; no callback follows. Unsent output is discarded.
    virtual void Close() = 0;
    // One-shot timer; 0 or less cancels. While connecting it replaces the
    // connect timeout.
    virtual void SetTimer(int milliseconds) = 0;
protected:
    ~ISock() {}
};

// The user's side of a buffered TCP socket; called on the frame's thread.
class IASockCallback {
public:
    // 0 connected, 1 the connect failed, 2 the connect timed out.
    virtual void OnConnect(int status) = 0;
    // The peer closed; the socket deletes itself after this call.
    virtual void OnClose() = 0;
    // A receive or send failed (a Windows Sockets code), or the input queue
    // is full (10055, "input buffer overflow"); the socket deletes itself
    // after this call.
    virtual void OnError(int code, const char* text) = 0;
    virtual void OnTimer() = 0;
    // data/len is the whole input queue; returns how many bytes were consumed.
    virtual unsigned OnData(const char* data, unsigned len) = 0;
    // A writable event left the output queue empty.
    virtual void OnSent() = 0;
protected:
    ~IASockCallback() {}
};

// A UDP socket bound to a local port and associated with a remote address.
class IUDPSock {
public:
    // One datagram to ip (network byte order) and port; returns bytes sent,
    // -1 on failure.
    virtual int SendTo(const char* data, int len, unsigned ip, int port) = 0;
    // Releases the socket and closes its handle.
    virtual void Close() = 0;
    // Does nothing: a UDP socket has no timer.
    virtual void SetTimer(int milliseconds) = 0;
protected:
    ~IUDPSock() {}
};

// A listening socket.
class IServerSock {
public:
    // Deletes the listener; connections accepted earlier are not affected.
    virtual void Close() = 0;
    // The bound port; -1 when the system cannot tell it.
    virtual int GetLocalPort() = 0;
protected:
    ~IServerSock() {}
};

// The host's acceptor. The accepted handle belongs to it from the call on.
class IAServerCallback {
public:
    virtual void OnAccept(IAsyncSelector* frame, vemnet_socket_t s, unsigned ip, int port) = 0;
protected:
    ~IAServerCallback() {}
};

// Listener creation options.
enum : int {
    SERVER_REUSEADDR = 1,
    SERVER_NONBLOCKING = 2,
    SERVER_NODELAY = 4,
};

extern "C" {
// Connects to host:port. timeout > 0: non-blocking connect abandoned after
// timeout ms (OnConnect(2)); 0 or less: blocking connect on the calling thread.
// Null when the host does not resolve or no connect could be started (also
// when no socket can be made).
VEMNET_API ISock* VEMNET_CALL CreateAsyncTcpSock(IASockCallback* callback, const char* host, int port,
                                                  int timeout, IAsyncSelector* frame);
// Wraps an accepted, connected handle, making it non-blocking; the socket
// owns it from then on. A null callback is refused: null, and the handle
// stays the caller's.
VEMNET_API ISock* VEMNET_CALL CreateAsyncServerSock(IASockCallback* callback, vemnet_socket_t s,
                                                     IAsyncSelector* frame);
// Null when the socket cannot be made, bound or associated (the reason is
// logged, e.g. "bind at 5000"). Nothing is ever thrown to the host.
VEMNET_API IUDPSock* VEMNET_CALL CreateAsyncUdpSock(void* callback, const char* host, int port,
                                                     int local_port, IAsyncSelector* frame);
// Null when the listener cannot be made (a port in use, …; the reason is logged).
VEMNET_API IServerSock* VEMNET_CALL CreateAsyncServer(IAServerCallback* acceptor, int port,
                                                       IAsyncSelector* frame, const char* ip, int flags);
}

#endif
