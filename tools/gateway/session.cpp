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

Session::Session(asio::any_io_executor strand, std::string id, std::chrono::seconds idleTimeout,
                 std::chrono::seconds hold, EndHandler onEnd)
    : id_(std::move(id)),
      idleTimeout_(idleTimeout),
      onEnd_(std::move(onEnd)),
      backend_(strand),
      idleTimer_(strand),
      waitTimer_(strand),
      hold_(hold) {}

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

void Session::Open(const asio::ip::tcp::resolver::results_type& backend, std::string data, const Fields& ext,
                   Respond respond) {
    ArmIdleTimer();
    extended_ = ext.announce;
    toBackend_ = std::move(data);
    waiting_[kMessages].reset(new Waiting);
    Waiting& w = *waiting_[kMessages];
    w.respond = std::move(respond);
    w.rid = extended_ ? ext.rid : 0;
    w.first = true;
    w.giveUpAt = Clock::now() + kBackendWaitLimit;
    ArmWaitTimer(w.giveUpAt);
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

bool Session::AnswerRepeat(const Fields& ext, Respond& respond) {
    if (ext.ack > acked_) acked_ = ext.ack;
    for (Kept& kept : kept_) {
        if (kept.rid != 0 && kept.rid <= acked_) kept = Kept();
    }
    if (ext.rid <= acked_) {
        // A copy of a request whose answer the client already has.
        respond(kStatusConflict, "a request of this number was answered\n");
        return true;
    }
    for (int c = 0; c < kChannels; ++c) {
        if (kept_[c].rid == ext.rid) {
            respond(kept_[c].status, kept_[c].body);
            return true;
        }
        if (waiting_[c] && waiting_[c]->rid == ext.rid) {
            // The client gave up on the first copy (its connection broke):
            // the answer goes to the repeat.
            std::swap(waiting_[c]->respond, respond);
            respond(kStatusConflict, "a repeat of this request took its place\n");
            return true;
        }
    }
    return false;
}

void Session::Exchange(std::string data, const Fields& ext, Respond respond) {
    if (state_ == State::Ended) {
        respond(kStatusNotFound, "unknown session\n");
        return;
    }
    Contained([&] {
        ArmIdleTimer();
        if (extended_ && ext.rid != 0 && AnswerRepeat(ext, respond)) return;
        bool carried = !data.empty();
        Channel channel = extended_ && ext.wait && !carried && hold_.count() > 0 ? kPolls : kMessages;
        if (waiting_[channel]) {
            respond(kStatusConflict, "another request of this session is waiting\n");
            return;
        }
        if (state_ == State::Open && carried) {
            if (toBackend_.empty()) {
                toBackend_.swap(data);
            } else {
                toBackend_ += data;
            }
            PumpWrite();
        }
        Clock::time_point now = Clock::now();
        waiting_[channel].reset(new Waiting);
        Waiting& w = *waiting_[channel];
        w.respond = std::move(respond);
        w.rid = extended_ ? ext.rid : 0;
        w.carriedData = carried;
        w.lingerUntil = now + kAnswerLinger;
        w.giveUpAt = now + (channel == kPolls ? std::chrono::duration_cast<Clock::duration>(hold_)
                                              : std::chrono::duration_cast<Clock::duration>(kBackendWaitLimit));
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
    for (int c = 0; c < kChannels; ++c) {
        if (waiting_[c]) Answer(Channel(c), status, std::string(why) + "\n");
    }
    for (Kept& kept : kept_) kept = Kept();
    std::string().swap(toBackend_);
    std::string().swap(fromBackend_);
    onEnd_(id_, why);
}

void Session::ArmIdleTimer() {
    idleTimer_.expires_after(idleTimeout_);
    auto self = shared_from_this();
    idleTimer_.async_wait([self](const error_code& ec) {
        if (ec || self->state_ == State::Ended) return;
        if (self->Waits()) {
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

void Session::TryAnswer() {
    if (state_ == State::Ended) return;
    Clock::time_point now = Clock::now();
    Clock::time_point next = Clock::time_point::max();
    if (waiting_[kMessages] && !TryAnswerMessage(now, &next)) return;
    if (waiting_[kPolls]) TryAnswerPoll(now, &next);
    if (next != Clock::time_point::max()) ArmWaitTimer(next);
}

// Answers the request on the messages channel once it can be answered: the
// backend is connected and has taken enough of the queued bytes (or has
// bytes for the client, up to the hard limit), and, for a request that
// carried data, the backend answered or the linger passed. A client with a
// poller gets the backend's bytes on its polls, and its message is answered
// as soon as the backend took it.
bool Session::TryAnswerMessage(Clock::time_point now, Clock::time_point* next) {
    Waiting& w = *waiting_[kMessages];
    size_t queued = state_ == State::Open ? QueuedForBackend() : 0;
    bool backendBehind = state_ == State::Connecting || queued > kBackendQueueHardLimit ||
                         (queued > kBackendQueueSoftLimit && fromBackend_.empty());
    if (backendBehind) {
        if (now >= w.giveUpAt) {
            End(state_ == State::Connecting ? kStatusBadGateway : kStatusGatewayTimeout,
                state_ == State::Connecting ? "the backend cannot be reached" : "the backend does not take the data");
            return false;
        }
        *next = std::min(*next, w.giveUpAt);
        return true;
    }
    if (w.first) {
        VemNetwork::session_ext::Offer offer;
        offer.holdMs = uint32_t(std::chrono::milliseconds(hold_).count());
        offer.maxMessage = uint32_t(kExtendedMessage);
        Answer(kMessages, kStatusOk, extended_ ? FormatOffer(id_, offer) : "session=" + id_);
        return true;
    }
    if (fromBackend_.empty() && state_ == State::BackendClosed && !extended_) {
        End(kStatusGone, "the backend closed the connection");
        return false;
    }
    if (extended_ && hold_.count() > 0 && state_ == State::Open) {
        // The client's poller takes the backend's bytes: the message needs no
        // linger, and its reply none of them.
        Answer(kMessages, kStatusOk, VemNetwork::session_ext::FormatDataHead(givenAt_, false));
        return true;
    }
    if (fromBackend_.empty() && w.carriedData && now < w.lingerUntil) {
        *next = std::min(*next, w.lingerUntil);
        return true;
    }
    Answer(kMessages, kStatusOk, TakeData());
    return true;
}

// A held poll is answered when the backend has bytes or has closed, or when
// the hold time passed.
void Session::TryAnswerPoll(Clock::time_point now, Clock::time_point* next) {
    if (!fromBackend_.empty() || state_ == State::BackendClosed) {
        Answer(kPolls, kStatusOk, TakeData());
    } else if (now >= waiting_[kPolls]->giveUpAt) {
        Answer(kPolls, kStatusOk, VemNetwork::session_ext::FormatDataHead(givenAt_, false));
    } else {
        *next = std::min(*next, waiting_[kPolls]->giveUpAt);
    }
}

std::string Session::TakeData() {
    size_t most = extended_ ? kExtendedReplyPayload : kReplyPayload;
    size_t n = fromBackend_.size() < most ? fromBackend_.size() : most;
    std::string body = extended_ ? VemNetwork::session_ext::FormatDataHead(
                                       givenAt_, state_ == State::BackendClosed && n == fromBackend_.size())
                                 : std::string("data=");
    body += Base64EncodeString(fromBackend_.substr(0, n), 0);
    fromBackend_.erase(0, n);
    givenAt_ += n;
    ShrinkIdleBuffers();
    PumpRead();
    return body;
}

void Session::ShrinkIdleBuffers() {
    bool released = Release(&fromBackend_);
    released = Release(&toBackend_) || released;
    if (!writeBusy_) released = Release(&writing_) || released;
    if (released) TrimSoon();
}

void Session::Answer(Channel channel, int status, std::string body) {
    std::unique_ptr<Waiting> w = std::move(waiting_[channel]);
    if (w->rid != 0) {
        kept_[channel].rid = w->rid;
        kept_[channel].status = status;
        kept_[channel].body = body;
    }
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
            if (!self->Waits()) self->ShrinkIdleBuffers();
        });
    });
}

// The backend is read when it has bytes, into a buffer of the thread: an
// idle session holds no read buffer of its own.
void Session::PumpRead() {
    size_t readAhead = 2 * (extended_ ? kExtendedReplyPayload : kReplyPayload);
    if (readBusy_ || state_ != State::Open || fromBackend_.size() >= readAhead) return;
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
