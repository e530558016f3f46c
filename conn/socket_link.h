// The way one socket's events reach its connection, kept apart from the
// connection so that it can outlive it.
//
// A host thread opens a socket without holding the frame lock (the name
// lookup and a blocking connect take their time there), so the frame's
// thread may see the new socket's events before the opener has it, and
// another host thread may Close or delete the connection meanwhile. Each
// socket gets a link of its own as its callback: the connection detaches
// the link when it lets the socket go, and from then on the link swallows
// the socket's events, closing a socket that nobody has claimed yet.
//
// Everything but Handoff runs under the frame lock.
#ifndef VEMNET_SOCKET_LINK_H
#define VEMNET_SOCKET_LINK_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "vemnet/sock.h"

class BaseSelector;

namespace VemNetwork {

class SocketLink : public IASockCallback, public std::enable_shared_from_this<SocketLink> {
public:
    // Made by the opener, on its thread, just before the socket factory.
    SocketLink(BaseSelector* frame, IASockCallback* owner);
    virtual ~SocketLink() {}

    IASockCallback* owner() const { return owner_; }
    // The owner lets the socket go: no event reaches it any more.
    void Detach() { owner_ = nullptr; }

    // True until the socket has been claimed.
    bool Opening() const { return opening_; }
    bool OnOpenerThread() const { return std::this_thread::get_id() == opener_; }
    // The opener, without the frame lock, once the factory has returned.
    void Handoff(ISock* socket);
    // The socket the factory made (null when it made none), once: waits for
    // the handoff when the factory has not returned yet. Null afterwards.
    ISock* Claim();

    // IASockCallback: forwarded to the owner, or swallowed without one.
    void OnConnect(int status) override;
    void OnClose() override;
    void OnError(int code, const char* text) override;
    void OnTimer() override;
    unsigned OnData(const char* data, unsigned len) override;
    void OnSent() override;

private:
    // Without an owner: a socket nobody claimed is closed by the frame's
    // thread (the opener closes it itself once back). True when the event
    // is to be swallowed.
    bool Orphaned();

    BaseSelector* frame_;
    IASockCallback* owner_;
    bool opening_;
    std::thread::id opener_;
    std::mutex handoffLock_;
    std::condition_variable handoffReady_;
    bool handedOff_;
    ISock* socket_;
};

}  // namespace VemNetwork

#endif
