// One session: its TCP connection to the backend, the bytes queued each way,
// and the one request of its client that waits for an answer. Everything a
// session does runs on its own strand (Executor()): callers post Open,
// Exchange and End to it, so it takes no lock whatever the thread count.
#ifndef VEMNET_GATEWAY_SESSION_H
#define VEMNET_GATEWAY_SESSION_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "tools/gateway/limits.h"
#include "tools/gateway/reply.h"

namespace gateway {

class Session : public std::enable_shared_from_this<Session> {
public:
    using Clock = std::chrono::steady_clock;
    // Called once when the session ends, with the reason.
    using EndHandler = std::function<void(const std::string& id, const char* why)>;

    Session(boost::asio::any_io_executor strand, std::string id, std::chrono::seconds idleTimeout, EndHandler onEnd);

    const std::string& Id() const { return id_; }
    boost::asio::any_io_executor Executor() { return backend_.get_executor(); }

    // The request that created the session: connects to the backend, queues
    // data for it, and answers "session=" + identifier once connected (502
    // when the backend cannot be reached).
    void Open(const boost::asio::ip::tcp::resolver::results_type& backend, std::string data, Respond respond);
    // A later request: queues data for the backend and answers with what the
    // backend sent, at most one reply's worth.
    void Exchange(std::string data, Respond respond);
    // Ends the session: the backend connection closes; a waiting request is
    // answered with status and why.
    void End(int status, const char* why);

private:
    enum class State { Connecting, Open, BackendClosed, Ended };

    struct Waiting {
        Respond respond;
        bool first = false;           // answered with the identifier
        bool carriedData = false;     // waits a little for the backend's answer
        Clock::time_point lingerUntil;
        Clock::time_point giveUpAt;
    };

    void ArmIdleTimer();
    void ArmWaitTimer(Clock::time_point at);
    void TryAnswer();
    void Answer(int status, std::string body);
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
    std::unique_ptr<Waiting> waiting_;
    std::string toBackend_;
    std::string writing_;      // the bytes of the write under way
    bool writeBusy_ = false;
    std::string fromBackend_;
    bool readBusy_ = false;
};

}  // namespace gateway

#endif
