// The exported socket factories. Any host thread may call them: each takes
// the target frame's lock around the steps that touch the frame (Register,
// timers), and the blocking connect waits without it.
#include <exception>
#include <stdexcept>

#include "frame/default_frame.h"
#include "sockets/buffered_sock.h"
#include "sockets/server_socket.h"
#include "sockets/udp_socket.h"
#include "vemnet/sock.h"

extern "C" {

VEMNET_API ISock* VEMNET_CALL CreateAsyncTcpSock(IASockCallback* callback, const char* host, int port,
                                                  int timeout, IAsyncSelector* frame) {
    BaseSelector* target = FrameOrDefault(frame);
    if (!target || !callback) return nullptr;
    return StartBufferedConnect(new BufferedSock(callback, target), host, port, timeout);
}

VEMNET_API ISock* VEMNET_CALL CreateAsyncServerSock(IASockCallback* callback, vemnet_socket_t s,
                                                     IAsyncSelector* frame) {
    // Nobody would read a socket without a callback, and a peer that sends
    // would keep the frame busy for good: refused, the handle stays the
    // caller's, as with CreateAsyncTcpSock.
    if (!callback) return nullptr;
    BaseSelector* target = FrameOrDefault(frame);
    if (!target) {
        // The handle was handed over; with no frame to live in it is closed.
        if (s != plat::kInvalidSocket) plat::CloseSocket(s);
        return nullptr;
    }
    return StartBufferedAccepted(new BufferedSock(callback, target), s);
}

VEMNET_API IUDPSock* VEMNET_CALL CreateAsyncUdpSock(void* callback, const char* host, int port, int local_port,
                                                     IAsyncSelector* frame) {
    // The frame is only recorded: the socket never gives it any work.
    BaseSelector* target = FrameOrDefault(frame);
    UdpSocket* sock = new UdpSocket(callback, target);
    try {
        sock->Open(host, port, local_port);
    } catch (...) {
        sock->Close();
        throw;
    }
    return sock->AsUdp();
}

VEMNET_API IServerSock* VEMNET_CALL CreateAsyncServer(IAServerCallback* acceptor, int port, IAsyncSelector* frame,
                                                       const char* ip, int flags) {
    BaseSelector* target = FrameOrDefault(frame);
    if (!target) throw std::runtime_error("no frame");
    ServerSocket* sock = new ServerSocket(acceptor, target);
    try {
        sock->Open(port, ip, flags);
        sock->Register();
    } catch (...) {
        // Not registered when Register threw ("too many connections").
        FrameGuard guard(target);
        delete sock;
        throw;
    }
    return sock->AsServer();
}

}  // extern "C"
