#include "tools/gateway/session.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>

#include "conn/auth/base64.h"

namespace gateway {

namespace asio = boost::asio;
using boost::system::error_code;

Session::Session(asio::io_context& io, std::string id, std::chrono::seconds idleTimeout, EndHandler onEnd)
    : id_(std::move(id)),
      idleTimeout_(idleTimeout),
      onEnd_(std::move(onEnd)),
      backend_(io),
      idleTimer_(io),
      waitTimer_(io) {}

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
        if (ec) {
            self->End(kStatusBadGateway, "the backend cannot be reached");
            return;
        }
        self->backend_.set_option(asio::ip::tcp::no_delay(true));
        self->state_ = State::Open;
        self->PumpWrite();
        self->PumpRead();
        self->TryAnswer();
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
    ArmIdleTimer();
    if (state_ == State::Open && !data.empty()) {
        toBackend_ += data;
        PumpWrite();
    }
    Clock::time_point now = Clock::now();
    waiting_.reset(new Waiting);
    waiting_->respond = std::move(respond);
    waiting_->carriedData = !data.empty();
    waiting_->lingerUntil = now + kAnswerLinger;
    waiting_->giveUpAt = now + kBackendWaitLimit;
    TryAnswer();
}

void Session::End(int status, const char* why) {
    if (state_ == State::Ended) return;
    state_ = State::Ended;
    error_code ignored;
    backend_.close(ignored);
    idleTimer_.cancel();
    waitTimer_.cancel();
    if (waiting_) Answer(status, std::string(why) + "\n");
    toBackend_.clear();
    fromBackend_.clear();
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
        if (!ec) self->TryAnswer();
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
    PumpRead();
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
        if (ec) {
            self->BackendGone();
            return;
        }
        self->PumpWrite();
        self->TryAnswer();
    });
}

void Session::PumpRead() {
    if (readBusy_ || state_ != State::Open || fromBackend_.size() >= kBackendReadAhead) return;
    readBusy_ = true;
    auto self = shared_from_this();
    backend_.async_read_some(asio::buffer(readChunk_), [self](const error_code& ec, size_t n) {
        self->readBusy_ = false;
        if (ec) {
            self->BackendGone();
            return;
        }
        self->fromBackend_.append(self->readChunk_.data(), n);
        self->PumpRead();
        self->TryAnswer();
    });
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
