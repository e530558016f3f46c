// The exported socket factories. Any host thread may call them: each takes
// the target frame's lock around the steps that touch the frame (Register,
// timers), and the blocking connect waits without it.
#include <exception>
#include <stdexcept>

#include "frame/default_frame.h"
#include "logging/logger.h"
#include "platform/platform.h"
#include "sockets/buffered_sock.h"
#include "sockets/server_socket.h"
#include "sockets/udp_socket.h"
#include "vemnet/sock.h"

namespace {

// Nothing is thrown to a host, whose compiler may not know our exceptions:
// a factory that fails returns null and logs why.
void LogFailure(const wchar_t* factory, const std::exception& e) {
    LogLine(NamedLogger::SelSelector, LOG_LEVEL_ERROR, L"%s: %s", factory, plat::FromAnsi(e.what()).c_str());
}

}  // namespace

ISock* CreateAsyncTcpSockTo(IASockCallback* callback, const std::vector<plat::NetAddress>& addresses, int port,
                            int timeout, IAsyncSelector* frame) {
    try {
        BaseSelector* target = FrameOrDefault(frame);
        if (!target || !callback) return nullptr;
        return StartBufferedConnect(new BufferedSock(callback, target), addresses, port, timeout);
    } catch (const std::exception& e) {
        LogFailure(L"CreateAsyncTcpSock", e);
        return nullptr;
    }
}

extern "C" {

VEMNET_API ISock* VEMNET_CALL CreateAsyncTcpSock(IASockCallback* callback, const char* host, int port,
                                                  int timeout, IAsyncSelector* frame) {
    try {
        BaseSelector* target = FrameOrDefault(frame);
        if (!target || !callback) return nullptr;
        return StartBufferedConnect(new BufferedSock(callback, target), host, port, timeout);
    } catch (const std::exception& e) {
        LogFailure(L"CreateAsyncTcpSock", e);
        return nullptr;
    }
}

VEMNET_API ISock* VEMNET_CALL CreateAsyncServerSock(IASockCallback* callback, vemnet_socket_t s,
                                                     IAsyncSelector* frame) {
    // Nobody would read a socket without a callback, and a peer that sends
    // would keep the frame busy for good: refused, the handle stays the
    // caller's, as with CreateAsyncTcpSock.
    if (!callback) return nullptr;
    try {
        BaseSelector* target = FrameOrDefault(frame);
        if (!target) {
            // The handle was handed over; with no frame to live in it is closed.
            if (s != plat::kInvalidSocket) plat::CloseSocket(s);
            return nullptr;
        }
        // On failure the socket, and the handle with it, are gone.
        return StartBufferedAccepted(new BufferedSock(callback, target), s);
    } catch (const std::exception& e) {
        LogFailure(L"CreateAsyncServerSock", e);
        return nullptr;
    }
}

VEMNET_API IUDPSock* VEMNET_CALL CreateAsyncUdpSock(void* callback, const char* host, int port, int local_port,
                                                     IAsyncSelector* frame) {
    UdpSocket* sock = nullptr;
    try {
        // The frame is only recorded: the socket never gives it any work.
        sock = new UdpSocket(callback, FrameOrDefault(frame));
        sock->Open(host, port, local_port);
        return sock->AsUdp();
    } catch (const std::exception& e) {
        if (sock) sock->Close();
        LogFailure(L"CreateAsyncUdpSock", e);
        return nullptr;
    }
}

VEMNET_API IServerSock* VEMNET_CALL CreateAsyncServer(IAServerCallback* acceptor, int port, IAsyncSelector* frame,
                                                       const char* ip, int flags) {
    BaseSelector* target = nullptr;
    ServerSocket* sock = nullptr;
    try {
        target = FrameOrDefault(frame);
        if (!target) return nullptr;
        sock = new ServerSocket(acceptor, target);
        sock->Open(port, ip, flags);
        sock->Register();
        return sock->AsServer();
    } catch (const std::exception& e) {
        if (sock) {
            // Not registered when Register threw ("too many connections").
            FrameGuard guard(target);
            delete sock;
        }
        LogFailure(L"CreateAsyncServer", e);
        return nullptr;
    }
}

}  // extern "C"
