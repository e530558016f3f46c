#include "sockets/tcp_socket.h"

#include <exception>

#include "frame/base_selector.h"
#include "frame/exceptions.h"
#include "sockets/buffer_overflow.h"

TcpSocket::TcpSocket(BaseSelector* frame) : connectFailed_(false) { selector_ = frame; }

void TcpSocket::DestroyUnwatched() {
    // The destructor cancels the timer, which is frame state.
    FrameGuard guard(selector_);
    delete this;
}

bool TcpSocket::AsyncConnect(uint32_t ip, int port, int timeout) {
    if (ip == kAddrNone) {
        DestroyUnwatched();
        return false;
    }
    helper_.sock = plat::OpenSocket(true);
    if (helper_.sock == plat::kInvalidSocket) {
        int code = plat::LastSocketError();
        DestroyUnwatched();
        plat::SetLastSocketError(code);
        ThrowCreateSocketError();
    }

    // No frame lock yet: a blocking connect may wait for seconds, and until
    // the socket is registered no other thread can reach it.
    bool connected = false;
    try {
        if (timeout > 0) helper_.SetNonBlocking();
        connected = helper_.Connect(ip, port);
        // From here on the frame's thread does every send and receive; a
        // blocking handle could stall it on a peer that stops reading.
        if (connected && timeout <= 0) helper_.SetNonBlocking();
    } catch (const std::exception&) {
        DestroyUnwatched();
        return false;
    }

    FrameGuard guard(selector_);
    try {
        if (connected) {
            // Read interest first, so that the peer's bytes are delivered
            // without waiting for a Send of the user's.
            Select(0, EV_READ);
            HandleConnect(0);
        } else {
            Select(0, EV_READ | EV_WRITE | EV_EXCEPT);
            Handler::SetTimer(timeout);
        }
    } catch (const std::exception&) {
        if (helper_.flags & SF_REGISTERED) {
            // The frame may be waiting on the handle right now (we are not
            // necessarily its thread): leave the deletion to its cleanup.
            Close();
        } else {
            delete this;
        }
        return false;
    }
    return true;
}

void TcpSocket::Attach(plat::socket_t s) {
    helper_.sock = s;
    helper_.flags |= SF_CONNECTED;
    try {
        // A listener without the non-blocking option hands out blocking
        // handles; the frame's thread must never wait in send or recv.
        if (s != plat::kInvalidSocket) helper_.SetNonBlocking();
        FrameGuard guard(selector_);
        Select(0, EV_READ);
    } catch (const std::exception&) {
        DestroyUnwatched();
        throw;
    }
}

void TcpSocket::OnEvent(unsigned mask) {
    try {
        if (helper_.flags & SF_CONNECTED) {
            switch (mask) {
            case EV_READ: HandleRead(); break;
            case EV_WRITE: HandleWrite(); break;
            case EV_TIMER: HandleTimer(); break;
            default: break;
            }
        } else {
            ConnectEvent(mask);
        }
    } catch (const buffer_overflow& e) {
        // Not a socket failure, so no socket code stands for it; "no buffer
        // space" says what happened, where 0 would read as success.
        HandleError(plat::kErrNoBufs, e.what());
        Handler::OnError();
    } catch (const std::exception& e) {
        int code = plat::LastSocketError();
        HandleError(code, e.what());
        Handler::OnError();
    } catch (...) {
        // A host callback threw something of its own: the socket fails.
        HandleError(plat::LastSocketError(), "callback failed");
        Handler::OnError();
    }
}

void TcpSocket::ConnectEvent(unsigned mask) {
    if (mask == EV_TIMER) {
        HandleConnect(2);
        return;
    }
    if (mask != EV_READ && mask != EV_WRITE && mask != EV_EXCEPT) return;
    // One readiness event ends the attempt; the others of the same cycle
    // (read, write and except may all be reported) must not repeat it.
    if (connectFailed_) return;
    Handler::SetTimer(-1);
    int status = helper_.GetConnectError();
    if (status != 0) connectFailed_ = true;
    HandleConnect(status);
    if (status == 0) {
        Select(EV_EXCEPT, 0);
    } else {
        // A failed handle never connects; where it stays readable and
        // writable the frame would otherwise wake for it every cycle.
        Select(EV_READ | EV_WRITE | EV_EXCEPT, 0);
    }
}
