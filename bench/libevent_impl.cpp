// The libevent side: bufferevents on an epoll event_base, the way a libevent
// program is normally written. The base is not made thread-safe (no
// evthread), as in a one-thread libevent program; the parent stops the
// server's loop through a pipe instead.
#include <arpa/inet.h>
#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/listener.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "bench/common.h"

namespace bench {
namespace {

const char kPayload[kMessage] = {'p', 'i', 'n', 'g'};
char g_bulk[kBulkChunk];
const size_t kOutLimit = 262144;   // the same bound as a vemnet output queue

sockaddr_in Loopback(int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

// ---- server ---------------------------------------------------------------

class LibeventServer : public Server {
public:
    ~LibeventServer() override { Stop(); }

    int Start(ServerMode mode, ServerStats* stats) override {
        mode_ = mode;
        stats_ = stats;
        base_ = event_base_new();
        if (!base_ || pipe(stopPipe_) != 0) return -1;
        sockaddr_in sa = Loopback(0);
        listener_ = evconnlistener_new_bind(base_, &Accepted, this, LEV_OPT_REUSEABLE | LEV_OPT_CLOSE_ON_FREE, -1,
                                            reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        if (!listener_) return -1;
        socklen_t len = sizeof sa;
        getsockname(evconnlistener_get_fd(listener_), reinterpret_cast<sockaddr*>(&sa), &len);
        stopEv_ = event_new(base_, stopPipe_[0], EV_READ, &StopNow, base_);
        event_add(stopEv_, nullptr);
        thread_ = std::thread([this] { event_base_dispatch(base_); });
        return ntohs(sa.sin_port);
    }

    void Stop() override {
        if (!thread_.joinable()) return;
        char c = 's';
        ssize_t r = write(stopPipe_[1], &c, 1);
        (void)r;
        thread_.join();
    }

private:
    static void StopNow(evutil_socket_t, short, void* base) { event_base_loopbreak(static_cast<event_base*>(base)); }

    static void Accepted(evconnlistener*, evutil_socket_t fd, sockaddr*, int, void* self) {
        LibeventServer* s = static_cast<LibeventServer*>(self);
        SetNoDelay(fd);
        bufferevent* bev = bufferevent_socket_new(s->base_, fd, BEV_OPT_CLOSE_ON_FREE);
        bufferevent_setcb(bev, &Read, nullptr, &Event, s);
        bufferevent_enable(bev, EV_READ);
        s->stats_->OnAccepted();
        if (s->mode_ == ServerMode::Greet) bufferevent_write(bev, "g", 1);
    }

    static void Read(bufferevent* bev, void* self) {
        LibeventServer* s = static_cast<LibeventServer*>(self);
        evbuffer* in = bufferevent_get_input(bev);
        switch (s->mode_) {
        case ServerMode::Echo:
            evbuffer_add_buffer(bufferevent_get_output(bev), in);
            break;
        case ServerMode::Sink: {
            size_t n = evbuffer_get_length(in);
            s->stats_->OnSinkBytes(n);
            evbuffer_drain(in, n);
            break;
        }
        case ServerMode::Greet:
            evbuffer_drain(in, evbuffer_get_length(in));
            break;
        }
    }

    static void Event(bufferevent* bev, short what, void* self) {
        if (what & (BEV_EVENT_EOF | BEV_EVENT_ERROR)) {
            static_cast<LibeventServer*>(self)->stats_->closed.fetch_add(1);
            bufferevent_free(bev);
        }
    }

    ServerMode mode_ = ServerMode::Echo;
    ServerStats* stats_ = nullptr;
    event_base* base_ = nullptr;
    evconnlistener* listener_ = nullptr;
    event* stopEv_ = nullptr;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
};

// ---- client ---------------------------------------------------------------

class Client;
struct Conn {
    Client* owner;
    bufferevent* bev;
    unsigned got;
    uint64_t sent;
};

class Client {
public:
    Client(const ClientJob& job, ClientResult* r) : job_(job), r_(r), sa_(Loopback(job.port)) {}

    bool Run() {
        std::vector<int> idle = OpenIdle(job_.port, job_.idle);
        if (int(idle.size()) != job_.idle) return Fail("idle-connect-failed");
        base_ = event_base_new();
        if (!base_) return Fail("no-base");
        if (job_.bench == "connrate") {
            start_ = NowSec();
            end_ = start_ + job_.secs;
            for (int i = 0; i < job_.inflight; ++i) Launch();
        } else {
            int first = std::min(job_.conns, 256);
            for (int i = 0; i < first; ++i) Launch();
        }
        if (!done_) event_base_dispatch(base_);
        for (int fd : idle) close(fd);
        return r_->ok;
    }

private:
    void Launch() {
        ++launched_;
        bufferevent* bev = bufferevent_socket_new(base_, -1, BEV_OPT_CLOSE_ON_FREE);
        Conn* c = new Conn{this, bev, 0, 0};
        bufferevent_setcb(bev, &Read, &Written, &Event, c);
        if (bufferevent_socket_connect(bev, reinterpret_cast<sockaddr*>(&sa_), sizeof sa_) != 0) {
            Fail("connect-could-not-start");
            return;
        }
        bufferevent_enable(bev, EV_READ | EV_WRITE);
        if (job_.bench != "connrate") conns_.push_back(c);
    }

    static void Event(bufferevent*, short what, void* p) {
        Conn* c = static_cast<Conn*>(p);
        Client* self = c->owner;
        if (what & BEV_EVENT_CONNECTED) {
            self->Connected(c);
            return;
        }
        if (what & (BEV_EVENT_EOF | BEV_EVENT_ERROR)) self->Fail(what & BEV_EVENT_EOF ? "peer-closed" : "socket-error");
    }

    void Connected(Conn* c) {
        if (job_.bench == "connrate") return;
        ++connected_;
        if (job_.bench == "bulk") {
            Fill(c);
            return;
        }
        if (launched_ < job_.conns) Launch();
        if (connected_ == job_.conns) {
            start_ = NowSec();
            end_ = start_ + job_.secs;
            for (Conn* x : conns_) bufferevent_write(x->bev, kPayload, kMessage);
        }
    }

    static void Read(bufferevent* bev, void* p) {
        Conn* c = static_cast<Conn*>(p);
        Client* self = c->owner;
        evbuffer* in = bufferevent_get_input(bev);
        size_t len = evbuffer_get_length(in);
        evbuffer_drain(in, len);
        if (self->job_.bench == "connrate") {
            ++self->count_;
            bufferevent_free(bev);
            delete c;
            double now = NowSec();
            if (now < self->end_) {
                self->Launch();
            } else if (--self->job_.inflight == 0) {
                self->Finish(now);
            }
            return;
        }
        if (self->job_.bench == "bulk") return;
        c->got += unsigned(len);
        while (c->got >= kMessage) {
            c->got -= kMessage;
            ++self->count_;
            double now = NowSec();
            if (now >= self->end_) {
                self->Finish(now);
                return;
            }
            bufferevent_write(bev, kPayload, kMessage);
        }
    }

    void Fill(Conn* c) {
        evbuffer* out = bufferevent_get_output(c->bev);
        while (c->sent < job_.bytes && evbuffer_get_length(out) + kBulkChunk <= kOutLimit) {
            size_t n = size_t(std::min<uint64_t>(kBulkChunk, job_.bytes - c->sent));
            bufferevent_write(c->bev, g_bulk, n);
            c->sent += n;
        }
    }

    // Called when the output buffer has drained.
    static void Written(bufferevent*, void* p) {
        Conn* c = static_cast<Conn*>(p);
        Client* self = c->owner;
        if (self->job_.bench != "bulk") return;
        if (c->sent < self->job_.bytes) {
            self->Fill(c);
        } else {
            self->Finish(NowSec());
        }
    }

    void Finish(double now) {
        if (done_) return;
        done_ = true;
        r_->ok = true;
        r_->count = count_;
        r_->secs = now - start_;
        event_base_loopbreak(base_);
    }

    bool Fail(const char* why) {
        if (!done_) {
            done_ = true;
            r_->ok = false;
            r_->error = why;
            if (base_) event_base_loopbreak(base_);
        }
        return false;
    }

    ClientJob job_;
    ClientResult* r_;
    sockaddr_in sa_;
    event_base* base_ = nullptr;
    std::vector<Conn*> conns_;
    int launched_ = 0;
    int connected_ = 0;
    uint64_t count_ = 0;
    double start_ = 0, end_ = 0;
    bool done_ = false;
};

struct TimerState {
    event* ev;
    uint64_t armed;
    int samples;
    std::vector<double>* out;
};

void TimerFired(evutil_socket_t, short, void* p) {
    TimerState* t = static_cast<TimerState*>(p);
    t->out->push_back(double(NowNs() - t->armed) - 10e6);
    if (int(t->out->size()) < t->samples) {
        timeval tv{0, 10000};
        t->armed = NowNs();
        evtimer_add(t->ev, &tv);
    }
}

}  // namespace

std::unique_ptr<Server> MakeLibeventServer() { return std::unique_ptr<Server>(new LibeventServer()); }

bool LibeventClient(const ClientJob& job, ClientResult* r) {
    Client c(job, r);
    return c.Run();
}

bool LibeventTimerLateness(int samples, std::vector<double>* ns) {
    event_base* base = event_base_new();
    if (!base) return false;
    TimerState t{nullptr, 0, samples, ns};
    t.ev = evtimer_new(base, &TimerFired, &t);
    timeval tv{0, 10000};
    t.armed = NowNs();
    evtimer_add(t.ev, &tv);
    event_base_dispatch(base);   // returns when no timer is armed any more
    event_free(t.ev);
    event_base_free(base);
    return int(ns->size()) == samples;
}

}  // namespace bench
