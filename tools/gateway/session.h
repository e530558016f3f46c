// One session: its TCP connection to the backend, the bytes queued each way,
// and the requests of its client that wait for an answer: one of the plain
// protocol; with the extension, one on each of two channels (the host's
// messages, and a poll held until the backend has something), the last
// reply of each kept for a repeat. Everything a session does runs on its
// own strand (Executor()): callers post Open, Exchange and End to it, so it
// takes no lock whatever the thread count.
#ifndef VEMNET_GATEWAY_SESSION_H
#define VEMNET_GATEWAY_SESSION_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "http/session_extension.h"
#include "tools/gateway/limits.h"
#include "tools/gateway/reply.h"

namespace gateway {

class Session : public std::enable_shared_from_this<Session> {
public:
    using Clock = std::chrono::steady_clock;
    // Called once when the session ends, with the reason.
    using EndHandler = std::function<void(const std::string& id, const char* why)>;

    using Fields = VemNetwork::session_ext::RequestFields;

    // hold: how long a poll of the extended protocol may wait (0: not held).
    Session(boost::asio::any_io_executor strand, std::string id, std::chrono::seconds idleTimeout,
            std::chrono::seconds hold, EndHandler onEnd);

    const std::string& Id() const { return id_; }
    boost::asio::any_io_executor Executor() { return backend_.get_executor(); }

    // The request that created the session: connects to the backend, queues
    // data for it, and answers "session=" + identifier once connected (502
    // when the backend cannot be reached); a client that announced the
    // extension gets the offer.
    void Open(const boost::asio::ip::tcp::resolver::results_type& backend, std::string data, const Fields& ext,
              Respond respond);
    // A later request: queues data for the backend and answers with what the
    // backend sent, at most one reply's worth. A repeated request number is
    // answered with the reply it had, and its data is not relayed again.
    void Exchange(std::string data, const Fields& ext, Respond respond);
    // Ends the session: the backend connection closes; a waiting request is
    // answered with status and why.
    void End(int status, const char* why);

private:
    enum class State { Connecting, Open, BackendClosed, Ended };

    // The request channels: the plain protocol uses only the first.
    enum Channel { kMessages = 0, kPolls = 1, kChannels = 2 };

    struct Waiting {
        Respond respond;
        uint64_t rid = 0;             // the extension's request number, 0: none
        bool first = false;           // answered with the identifier
        bool carriedData = false;     // waits a little for the backend's answer
        Clock::time_point lingerUntil;
        Clock::time_point giveUpAt;
    };
    // The last reply of a channel, for a repeat of its request.
    struct Kept {
        uint64_t rid = 0;
        int status = 0;
        std::string body;
    };

    void ArmIdleTimer();
    void ArmWaitTimer(Clock::time_point at);
    // Answers what can be answered, and arms the wait timer for the rest.
    void TryAnswer();
    // False when the session ended.
    bool TryAnswerMessage(Clock::time_point now, Clock::time_point* next);
    void TryAnswerPoll(Clock::time_point now, Clock::time_point* next);
    // The next reply's worth of the backend's bytes, as a reply body.
    std::string TakeData();
    // True when a repeat was answered (or took the place of its original).
    bool AnswerRepeat(const Fields& ext, Respond& respond);
    void Answer(Channel channel, int status, std::string body);
    bool Waits() const { return waiting_[kMessages] || waiting_[kPolls]; }
    void PumpWrite();
    void PumpRead();
    void BackendGone();
    void ReadAvailable();
    // Runs a completion; an exception (an allocation that failed) ends this
    // session with 503 and a line naming the cause, nothing else.
    template <class F>
    void Contained(F&& f);
    // Gives back what a burst made the buffers hold once they are empty.
    void ShrinkIdleBuffers();
    size_t QueuedForBackend() const { return writing_.size() + toBackend_.size(); }

    std::string id_;
    std::chrono::seconds idleTimeout_;
    EndHandler onEnd_;
    State state_ = State::Connecting;
    boost::asio::ip::tcp::socket backend_;
    boost::asio::steady_timer idleTimer_;
    boost::asio::steady_timer waitTimer_;
    std::chrono::seconds hold_;
    bool extended_ = false;
    std::unique_ptr<Waiting> waiting_[kChannels];
    Kept kept_[kChannels];
    uint64_t givenAt_ = 0;     // bytes of the backend's stream given to the client
    uint64_t acked_ = 0;       // the client has the replies up to this number
    std::string toBackend_;
    std::string writing_;      // the bytes of the write under way
    bool writeBusy_ = false;
    std::string fromBackend_;
    bool readBusy_ = false;
};

}  // namespace gateway

#endif
