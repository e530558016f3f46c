#include "tools/gateway/session.h"

#include <malloc.h>

#include <array>
#include <atomic>
#include <new>

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>

#include "conn/auth/base64.h"
#include "tools/gateway/log.h"
#include "tools/gateway/metrics.h"
#include "tools/gateway/session_id.h"

namespace gateway {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// The allocator keeps freed memory in its arenas; after a release of
// buffers it is asked to return it to the system, at most once in this
// interval for the whole process (the call walks the heap).
constexpr std::chrono::seconds kTrimEvery(1);
std::atomic<int64_t> lastTrim{0};

void TrimSoon() {
    int64_t now = std::chrono::duration_cast<std::chrono::seconds>(Session::Clock::now().time_since_epoch()).count();
    int64_t last = lastTrim.load();
    if (now - last >= kTrimEvery.count() && lastTrim.compare_exchange_strong(last, now)) malloc_trim(0);
}

// A string emptied after a burst keeps its capacity; this gives it back.
bool Release(std::string* s) {
    if (!s->empty() || s->capacity() <= kIdleBufferKeep) return false;
    std::string().swap(*s);
    return true;
}

}  // namespace

Session::Session(asio::any_io_executor strand, std::string id, std::chrono::seconds idleTimeout, EndHandler onEnd)
    : id_(std::move(id)),
      idleTimeout_(idleTimeout),
      onEnd_(std::move(onEnd)),
      backend_(strand),
      idleTimer_(strand),
      waitTimer_(strand) {}

template <class F>
void Session::Contained(F&& f) {
    const char* cause = nullptr;
    try {
        f();
        return;
    } catch (const std::bad_alloc&) {
        cause = "the gateway is out of memory";
    } catch (const std::exception&) {
        cause = "the gateway failed in this session";
    }
    GatewayLog().Line("session %s: %s; it ends", ShortSessionId(id_).c_str(), cause);
    try {
        End(kStatusUnavailable, cause);
    } catch (const std::exception&) {
    }
}

void Session::Open(const asio::ip::tcp::resolver::results_type& backend, std::string data, Respond respond) {
    ArmIdleTimer();
    toBackend_ = std::move(data);
    waiting_.reset(new Waiting);
    waiting_->respond = std::move(respond);
    waiting_->first = true;
    waiting_->giveUpAt = Clock::now() + kBackendWaitLimit;
    ArmWaitTimer(waiting_->giveUpAt);
    auto self = shared_from_this();
    asio::async_connect(backend_, backend, [self](const error_code& ec, const asio::ip::tcp::endpoint&) {
        if (self->state_ != State::Connecting) return;
        self->Contained([&] {
            if (ec == asio::error::no_descriptors) {
                GatewayLog().Line("no descriptor left for a backend connection (%s)", ec.message().c_str());
                GatewayMetrics().Refused(Refusal::Descriptors);
                self->End(kStatusUnavailable, "the gateway has no descriptor left");
                return;
            }
            if (ec) {
                self->End(kStatusBadGateway, "the backend cannot be reached");
                return;
            }
            error_code ignored;
            self->backend_.set_option(asio::ip::tcp::no_delay(true), ignored);
            self->backend_.non_blocking(true, ignored);
            self->state_ = State::Open;
            self->PumpWrite();
            self->PumpRead();
            self->TryAnswer();
        });
    });
}

void Session::Exchange(std::string data, Respond respond) {
    if (state_ == State::Ended) {
        respond(kStatusNotFound, "unknown session\n");
        return;
    }
    if (waiting_) {
        respond(kStatusConflict, "another request of this session is waiting\n");
        return;
    }
    Contained([&] {
        ArmIdleTimer();
        bool carried = !data.empty();
        if (state_ == State::Open && carried) {
            if (toBackend_.empty()) {
                toBackend_.swap(data);
            } else {
                toBackend_ += data;
            }
            PumpWrite();
        }
        Clock::time_point now = Clock::now();
        waiting_.reset(new Waiting);
        waiting_->respond = std::move(respond);
        waiting_->carriedData = carried;
        waiting_->lingerUntil = now + kAnswerLinger;
        waiting_->giveUpAt = now + kBackendWaitLimit;
        TryAnswer();
    });
}

void Session::End(int status, const char* why) {
    if (state_ == State::Ended) return;
    state_ = State::Ended;
    error_code ignored;
    backend_.close(ignored);
    idleTimer_.cancel();
    waitTimer_.cancel();
    if (waiting_) Answer(status, std::string(why) + "\n");
    std::string().swap(toBackend_);
    std::string().swap(fromBackend_);
    onEnd_(id_, why);
}

void Session::ArmIdleTimer() {
    idleTimer_.expires_after(idleTimeout_);
    auto self = shared_from_this();
    idleTimer_.async_wait([self](const error_code& ec) {
        if (ec || self->state_ == State::Ended) return;
        if (self->waiting_) {
            self->ArmIdleTimer();
            return;
        }
        self->End(kStatusGone, "the client stopped polling");
    });
}

void Session::ArmWaitTimer(Clock::time_point at) {
    waitTimer_.expires_at(at);
    auto self = shared_from_this();
    waitTimer_.async_wait([self](const error_code& ec) {
        if (!ec) self->Contained([&] { self->TryAnswer(); });
    });
}

// Answers the waiting request once it can be answered: the backend is
// connected and has taken enough of the queued bytes (or has bytes for the
// client, up to the hard limit), and, for a request that carried data, the
// backend answered or the linger passed.
void Session::TryAnswer() {
    if (!waiting_ || state_ == State::Ended) return;
    Clock::time_point now = Clock::now();
    size_t queued = state_ == State::Open ? QueuedForBackend() : 0;
    bool backendBehind = state_ == State::Connecting || queued > kBackendQueueHardLimit ||
                         (queued > kBackendQueueSoftLimit && fromBackend_.empty());
    if (backendBehind) {
        if (now >= waiting_->giveUpAt) {
            End(state_ == State::Connecting ? kStatusBadGateway : kStatusGatewayTimeout,
                state_ == State::Connecting ? "the backend cannot be reached" : "the backend does not take the data");
            return;
        }
        ArmWaitTimer(waiting_->giveUpAt);
        return;
    }
    if (waiting_->first) {
        Answer(kStatusOk, "session=" + id_);
        return;
    }
    if (fromBackend_.empty() && state_ == State::BackendClosed) {
        End(kStatusGone, "the backend closed the connection");
        return;
    }
    if (fromBackend_.empty() && waiting_->carriedData && now < waiting_->lingerUntil) {
        ArmWaitTimer(waiting_->lingerUntil);
        return;
    }
    size_t n = fromBackend_.size() < kReplyPayload ? fromBackend_.size() : kReplyPayload;
    std::string body = "data=" + Base64EncodeString(fromBackend_.substr(0, n), 0);
    fromBackend_.erase(0, n);
    Answer(kStatusOk, std::move(body));
    ShrinkIdleBuffers();
    PumpRead();
}

void Session::ShrinkIdleBuffers() {
    bool released = Release(&fromBackend_);
    released = Release(&toBackend_) || released;
    if (!writeBusy_) released = Release(&writing_) || released;
    if (released) TrimSoon();
}

void Session::Answer(int status, std::string body) {
    std::unique_ptr<Waiting> w = std::move(waiting_);
    waitTimer_.cancel();
    w->respond(status, std::move(body));
}

void Session::PumpWrite() {
    if (writeBusy_ || toBackend_.empty() || state_ != State::Open) return;
    writing_.swap(toBackend_);
    writeBusy_ = true;
    auto self = shared_from_this();
    asio::async_write(backend_, asio::buffer(writing_), [self](const error_code& ec, size_t) {
        self->writeBusy_ = false;
        self->writing_.clear();
        self->Contained([&] {
            if (ec) {
                self->BackendGone();
                return;
            }
            self->PumpWrite();
            self->TryAnswer();
            if (!self->waiting_) self->ShrinkIdleBuffers();
        });
    });
}

// The backend is read when it has bytes, into a buffer of the thread: an
// idle session holds no read buffer of its own.
void Session::PumpRead() {
    if (readBusy_ || state_ != State::Open || fromBackend_.size() >= kBackendReadAhead) return;
    readBusy_ = true;
    auto self = shared_from_this();
    backend_.async_wait(asio::ip::tcp::socket::wait_read, [self](const error_code& ec) {
        self->readBusy_ = false;
        if (self->state_ != State::Open) return;
        self->Contained([&] {
            if (ec) {
                self->BackendGone();
                return;
            }
            self->ReadAvailable();
        });
    });
}

void Session::ReadAvailable() {
    thread_local std::array<char, kBackendReadChunk> chunk;
    error_code ec;
    size_t n = backend_.read_some(asio::buffer(chunk), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        PumpRead();
        return;
    }
    if (ec) {
        BackendGone();
        return;
    }
    fromBackend_.append(chunk.data(), n);
    PumpRead();
    TryAnswer();
}

// The backend closed or failed: what it sent still goes to the client, then
// the session ends with the next exchange.
void Session::BackendGone() {
    if (state_ != State::Open) return;
    state_ = State::BackendClosed;
    error_code ignored;
    backend_.close(ignored);
    toBackend_.clear();
    TryAnswer();
}

}  // namespace gateway
