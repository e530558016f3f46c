#include "sockets/server_socket.h"

#include <exception>
#include <memory>

#include "frame/base_selector.h"
#include "frame/exceptions.h"

namespace {
// SOMAXCONN of Windows Sockets 2: the system picks its largest backlog.
const int kListenBacklog = 2147483647;
}  // namespace

ServerSocket::ServerSocket(IAServerCallback* acceptor, BaseSelector* frame)
    : acceptor_(acceptor), acceptsPerEvent_(1), options_(0), alive_(std::make_shared<bool>(true)) {
    selector_ = frame;
}

ServerSocket::~ServerSocket() { *alive_ = false; }

void ServerSocket::Open(int port, const char* ip, int flags) {
    helper_.sock = plat::OpenSocket(true);
    if (helper_.sock == plat::kInvalidSocket) ThrowCreateSocketError();
    if (flags & SERVER_REUSEADDR) helper_.SetReuseAddr();
    if (flags & SERVER_NONBLOCKING) helper_.SetNonBlocking();
    if (flags & SERVER_NODELAY) helper_.SetNoDelay();
    options_ = flags;
    helper_.Bind(port, ip);
    if (plat::Listen(helper_.sock, kListenBacklog) != 0) throw socket_error("listen");
    helper_.flags |= SF_LISTENING;
}

void ServerSocket::Register() {
    FrameGuard guard(selector_);
    Select(0, EV_READ);
    Select(0, EV_READ);
}

void ServerSocket::OnEvent(unsigned mask) {
    try {
        if (mask == EV_READ) {
            AcceptWaiting();
        } else if (mask == EV_TIMER) {
            HandleTimer();
        }
    } catch (const std::exception& e) {
        (void)e.what();
    }
}

void ServerSocket::SetAcceptsPerEvent(int n) {
    // A blocking listener would block the frame on a second accept.
    if (n >= 1 && (options_ & SERVER_NONBLOCKING)) acceptsPerEvent_ = n;
}

void ServerSocket::AcceptWaiting() {
    const std::shared_ptr<bool> alive = alive_;
    for (int i = 0; i < acceptsPerEvent_; ++i) {
        uint32_t ip = 0;
        int port = 0;
        plat::socket_t s = helper_.Accept(&ip, &port);
        if (s == plat::kInvalidSocket) return;
        HandleAccept(s, ip, port);
        // The acceptor may have closed the listener: deleted at once on this
        // thread (nothing of it may be touched), or released from another
        // thread while the frame lock was let go (it watches nothing now).
        if (!*alive || !(frameEntry().interest & EV_READ)) return;
    }
}

void ServerSocket::HandleAccept(plat::socket_t s, uint32_t ip, int port) {
    if (acceptor_) {
        acceptor_->OnAccept(selector_, s, ip, port);
    } else {
        // Nobody to own it: an unclaimed connection would stay open for good.
        plat::CloseSocket(s);
    }
}

void ServerSocket::Close() {
    FrameGuard guard(selector_);
    if (!selector_ || selector_->InFrameThread()) {
        Handler::OnError();
        return;
    }
    // Another thread: the frame may be waiting on the handle at this moment,
    // so it stays open until the frame's own cleanup deletes it. Watching
    // nothing meanwhile keeps waiting connections from waking every cycle.
    // (Unregister would put it on the removed list, which the cleanup reads
    // as "already deleted".)
    if (helper_.sock != plat::kInvalidSocket) Select(EV_READ | EV_WRITE | EV_EXCEPT, 0);
    selector_->ReleaseHandler(this);
}

int ServerSocket::GetLocalPort() {
    int port = 0;
    try {
        helper_.GetLocal(&port);
    } catch (const std::exception&) {
        return -1;   // a result, never an exception across the boundary
    }
    return port;
}
