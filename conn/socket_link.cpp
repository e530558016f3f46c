#include "conn/socket_link.h"

#include "frame/base_selector.h"

namespace VemNetwork {

SocketLink::SocketLink(BaseSelector* frame, IASockCallback* owner)
    : frame_(frame),
      owner_(owner),
      opening_(true),
      opener_(std::this_thread::get_id()),
      handedOff_(false),
      socket_(nullptr) {}

void SocketLink::Handoff(ISock* socket) {
    std::lock_guard<std::mutex> g(handoffLock_);
    socket_ = socket;
    handedOff_ = true;
    // Notified under the lock: the waiter cannot go on (and perhaps free
    // this link with its connection) before the opener has let go of it.
    handoffReady_.notify_all();
}

ISock* SocketLink::Claim() {
    if (!opening_) return nullptr;
    std::unique_lock<std::mutex> l(handoffLock_);
    // The frame's thread comes here only with an event of the registered
    // socket, when all that is left of the factory is its return.
    handoffReady_.wait(l, [this] { return handedOff_; });
    opening_ = false;
    ISock* s = socket_;
    socket_ = nullptr;
    return s;
}

bool SocketLink::Orphaned() {
    if (owner_) return false;
    if (opening_ && !OnOpenerThread()) {
        ISock* s = Claim();
        if (s) s->Close();
    }
    return true;
}

// Each event keeps the link alive while it runs: the owner may let the
// socket (and with it its last reference to the link) go inside the call.
void SocketLink::OnConnect(int status) {
    std::shared_ptr<SocketLink> self = shared_from_this();
    FrameGuard guard(frame_);
    if (!Orphaned()) owner_->OnConnect(status);
}

void SocketLink::OnClose() {
    std::shared_ptr<SocketLink> self = shared_from_this();
    FrameGuard guard(frame_);
    if (!Orphaned()) owner_->OnClose();
}

void SocketLink::OnError(int code, const char* text) {
    std::shared_ptr<SocketLink> self = shared_from_this();
    FrameGuard guard(frame_);
    if (!Orphaned()) owner_->OnError(code, text);
}

void SocketLink::OnTimer() {
    std::shared_ptr<SocketLink> self = shared_from_this();
    FrameGuard guard(frame_);
    if (!Orphaned()) owner_->OnTimer();
}

unsigned SocketLink::OnData(const char* data, unsigned len) {
    std::shared_ptr<SocketLink> self = shared_from_this();
    FrameGuard guard(frame_);
    if (Orphaned()) return len;
    return owner_->OnData(data, len);
}

void SocketLink::OnSent() {
    std::shared_ptr<SocketLink> self = shared_from_this();
    FrameGuard guard(frame_);
    if (!Orphaned()) owner_->OnSent();
}

}  // namespace VemNetwork
