// The buffered TCP socket: an input and an output queue around a TcpSocket,
// reporting everything to the user's IASockCallback.
//
// Every received byte stays in the input queue until the callback says it
// consumed it; every Send is queued whole or refused whole, and bytes reach
// the kernel only on writable events.
#ifndef VEMNET_BUFFERED_SOCK_H
#define VEMNET_BUFFERED_SOCK_H

#include <exception>

#include "frame/base_selector.h"
#include "platform/io_batch.h"
#include "sockets/sock_buffer.h"
#include "sockets/tcp_socket.h"

template <typename InBuffer, typename OutBuffer>
class TBufferedSock : public TcpSocket {
public:
    TBufferedSock(IASockCallback* callback, BaseSelector* frame)
        : TcpSocket(frame), readOffer_(0), callback_(callback) {}
    // The queues go first; the base then cancels the timer, leaves the frame
    // and closes the handle. No callback is made.
    ~TBufferedSock() override {
        output_.clear();
        input_.clear();
    }

    void HandleRead() override {
        if (!callback_) return;
        int made = 0, error = 0;
        int n = selector_ && selector_->TakeMadeCall(this, &made, &error)
                    ? input_.took(Sockethelper::RecvResult(made, error), readOffer_)
                    : input_.read_from(helper_, readOffer_);
        if (n > 0) {
            unsigned consumed = callback_->OnData(input_.data(), input_.size());
            if (consumed) input_.consume(consumed);
        } else {
            if (callback_) callback_->OnClose();
            Handler::OnError();
        }
    }

    void HandleWrite() override {
        int n = 0;
        // An empty queue still ends in OnSent: the first writable event after
        // a connect, and a Send of no bytes, are answered that way.
        int made = 0, error = 0;
        if (selector_ && selector_->TakeMadeCall(this, &made, &error)) {
            n = Sockethelper::SendResult(made, error);
        } else if (output_.size() > 0) {
            n = helper_.Send(output_.data(), int(output_.size()));
        }
        output_.consume(uint32_t(n));
        if (output_.empty()) {
            Select(EV_WRITE, 0);
            if (callback_) callback_->OnSent();
        } else {
            Select(0, EV_WRITE);
        }
    }

    // Offered only where the event is sure to make this very call: a
    // connected socket with a callback, room for input, bytes to send.
    bool OfferRead(plat::IoOp* op) override {
        if (!callback_ || !(helper_.flags & SF_CONNECTED)) return false;
        uint32_t free = input_.make_room(readOffer_);
        if (free == 0) return false;   // the event reports the full queue
        *op = plat::IoOp{helper_.sock, input_.data() + input_.size(), int(free), false, 0, 0};
        return true;
    }

    bool OfferWrite(plat::IoOp* op) override {
        if (!(helper_.flags & SF_CONNECTED) || output_.size() == 0) return false;
        *op = plat::IoOp{helper_.sock, output_.data(), int(output_.size()), true, 0, 0};
        return true;
    }

    void HandleError(int code, const char* text) override {
        if (callback_) callback_->OnError(code, text);
    }

    void HandleTimer() override {
        if (callback_) callback_->OnTimer();
    }

    void HandleConnect(int status) override {
        if (callback_) callback_->OnConnect(status);
    }

    // ISock. Host threads may call these; the frame lock makes each one a
    // step of its own between the frame's cycles.
    bool Send(const char* data, unsigned len) override {
        FrameGuard guard(selector_);
        // A handle whose connect failed never sends: queued bytes would
        // vanish without an event.
        if (ConnectFailed()) return false;
        // While addresses race there is no handle to watch yet: the winner's
        // is watched for writing when it comes.
        const bool racing = Racing();
        try {
            if (len > 0 && data) {
                try {
                    output_.append_all(data, len);
                } catch (const buffer_overflow&) {
                    if (!racing) WantWrite();
                    return false;
                }
            }
            if (!racing) WantWrite();
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }

    void Close() override {
        FrameGuard guard(selector_);
        callback_ = nullptr;
        if (selector_) selector_->ReleaseHandler(this);
    }

    void SetTimer(int milliseconds) override {
        FrameGuard guard(selector_);
        Handler::SetTimer(milliseconds);
    }

    // For tests and diagnostics.
    uint32_t QueuedOutput() const { return output_.size(); }
    uint32_t QueuedInput() const { return input_.size(); }

protected:
    void WantWrite() { Select(0, EV_WRITE); }

    // What the next receive is offered (see SockBuffer::read_from); first,
    // where it fits into the base's tail padding.
    uint32_t readOffer_;
    InBuffer input_;
    OutBuffer output_;
    IASockCallback* callback_;
};

using BufferedSock = TBufferedSock<SocketQueue, SocketQueue>;
extern template class TBufferedSock<SocketQueue, SocketQueue>;

// The factories' work on a socket made by the caller (the exports pass a
// plain BufferedSock; tests may pass an instrumented subclass).
//
// Resolves host and starts the connect: the socket's ISock, or null when no
// connect could be started (the socket is gone then). "create socket" is
// raised to the caller.
ISock* StartBufferedConnect(BufferedSock* sock, const char* host, int port, int timeout);
// The same for addresses already looked up (several race, ConnectRace).
ISock* StartBufferedConnect(BufferedSock* sock, const std::vector<plat::NetAddress>& addresses, int port,
                            int timeout);
// CreateAsyncTcpSock for addresses already looked up, as the library's own
// connections use it: null (logged) on failure, nothing thrown.
ISock* CreateAsyncTcpSockTo(IASockCallback* callback, const std::vector<plat::NetAddress>& addresses, int port,
                            int timeout, IAsyncSelector* frame);
// Wraps the connected handle s; the socket owns it from now on. On failure
// the socket and the handle are gone and the exception is raised.
ISock* StartBufferedAccepted(BufferedSock* sock, plat::socket_t s);

#endif
