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

TcpSocket::~TcpSocket() {
    // The attempts still racing are released with the socket.
    race_.reset();
}

bool TcpSocket::AsyncConnect(const std::vector<plat::NetAddress>& addresses, int port, int timeout) {
    if (addresses.empty()) {
        DestroyUnwatched();
        return false;
    }
    if (addresses.size() > 1 && timeout > 0) return RaceConnect(addresses, port, timeout);
    // No frame lock yet: a blocking connect may wait for seconds, and until
    // the socket is registered no other thread can reach it.
    bool connected = false;
    if (addresses.size() > 1) {
        if (!BlockingConnect(addresses, port)) {
            // As a single connect that fails: no socket, no callback.
            const int code = plat::LastSocketError();
            DestroyUnwatched();
            plat::SetLastSocketError(code);
            return false;
        }
        connected = true;
    } else {
        SetPeer(addresses.front());
        helper_.sock = plat::OpenStreamSocket(*peer_);
        if (helper_.sock == plat::kInvalidSocket) {
            int code = plat::LastSocketError();
            DestroyUnwatched();
            plat::SetLastSocketError(code);
            ThrowCreateSocketError();
        }
    }
    try {
        if (!connected) {
            if (timeout > 0) helper_.SetNonBlocking();
            connected = helper_.ConnectAddress(*peer_, port);
        }
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

bool TcpSocket::BlockingConnect(const std::vector<plat::NetAddress>& addresses, int port) {
    // A blocking connect has no time to race in: each address in turn, until
    // one connects; the last failure's code stays the thread's last error.
    for (const plat::NetAddress& address : addresses) {
        helper_.CloseHandle();
        helper_.sock = plat::OpenStreamSocket(address);
        if (helper_.sock == plat::kInvalidSocket) continue;
        try {
            if (helper_.ConnectAddress(address, port)) {
                SetPeer(address);
                return true;
            }
        } catch (const std::exception&) {
        }
    }
    return false;
}

bool TcpSocket::RaceConnect(const std::vector<plat::NetAddress>& addresses, int port, int timeout) {
    FrameGuard guard(selector_);
    race_.reset(new ConnectRace(this, addresses, port));
    // The socket's own timer is the whole race's limit.
    Handler::SetTimer(timeout);
    if (race_->Start()) return true;
    const int code = plat::LastSocketError();
    delete this;
    plat::SetLastSocketError(code);
    return false;
}

void TcpSocket::RaceWon(plat::socket_t handle, const plat::NetAddress& address) {
    helper_.sock = handle;
    SetPeer(address);
    Guarded(&TcpSocket::ReportConnect, 0);
}

void TcpSocket::SetPeer(const plat::NetAddress& address) {
    if (!peer_) peer_.reset(new plat::NetAddress(address));
    else *peer_ = address;
}

const plat::NetAddress& TcpSocket::PeerAddress() const {
    static const plat::NetAddress kNone;
    return peer_ ? *peer_ : kNone;
}

void TcpSocket::RaceLost(int code) {
    connectFailed_ = true;
    plat::SetLastSocketError(code);
    Guarded(&TcpSocket::ReportConnect, 1);
}

void TcpSocket::ReportConnect(unsigned status) {
    // The race's limit is over either way.
    Handler::SetTimer(-1);
    if (status == 0) {
        helper_.flags |= SF_CONNECTED;
        // As after a pending connect: read, and write for the first OnSent
        // and whatever was queued meanwhile.
        Select(0, EV_READ | EV_WRITE);
    }
    HandleConnect(int(status));
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

void TcpSocket::OnEvent(unsigned mask) { Guarded(&TcpSocket::Dispatch, mask); }

void TcpSocket::Dispatch(unsigned mask) {
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
}

void TcpSocket::Guarded(void (TcpSocket::*step)(unsigned), unsigned arg) {
    try {
        (this->*step)(arg);
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
        // The race goes on: an attempt that connects later is still reported.
        HandleConnect(2);
        return;
    }
    if (race_) return;   // the attempts' events, not the socket's
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
