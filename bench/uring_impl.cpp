// Two floors for ping-pong written straight on io_uring, with no library
// around them; only the echo server and the ping-pong client exist.
//
// `uring`: completions. Each message costs one send and one receive
// submitted together (the receive linked behind the send) and one
// io_uring_enter per batch that submits them and waits for the next
// completion; a readiness loop (vemnet, Asio, libevent) pays a wait, a
// receive and a send as three system calls. An upper bound for what
// moving the sockets to completions could buy.
//
// `uring-batch`: readiness kept. epoll says which sockets are readable;
// their receives go to the kernel as one batch, then the replies as
// another, each batch one io_uring_enter whose operations complete at
// once or fail with EAGAIN, as plain non-blocking calls do. What the
// library's own loop could buy without changing when bytes are read and
// written: three system calls per wait instead of two per ready socket.
#include <arpa/inet.h>
#include <liburing.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/common.h"

namespace bench {
namespace {

const char kPayload[kMessage] = {'u'};
const unsigned kRing = 4096;
const unsigned kCompletions = 65536;   // one receive in flight per connection

// Every operation's user data: what completed, and for which connection.
enum Op : uint64_t { kAccept = 1, kRecv = 2, kStop = 3 };
uint64_t Tag(Op op, uint32_t conn) { return (uint64_t(conn) << 8) | op; }
Op OpOf(uint64_t tag) { return Op(tag & 0xff); }
uint32_t ConnOf(uint64_t tag) { return uint32_t(tag >> 8); }

struct Conn {
    int fd = -1;
    unsigned got = 0;
    char buf[4096];
};

bool InitRing(io_uring* ring) {
    io_uring_params p{};
    p.flags = IORING_SETUP_CQSIZE;
    p.cq_entries = kCompletions;
    return io_uring_queue_init_params(kRing, ring, &p) == 0;
}

// A free submission entry, submitting what is queued when the ring is full.
io_uring_sqe* Entry(io_uring* ring) {
    io_uring_sqe* sqe = io_uring_get_sqe(ring);
    while (!sqe) {
        io_uring_submit(ring);
        sqe = io_uring_get_sqe(ring);
    }
    return sqe;
}

void Recv(io_uring* ring, Conn& c, uint32_t id) {
    io_uring_sqe* sqe = Entry(ring);
    io_uring_prep_recv(sqe, c.fd, c.buf, sizeof c.buf, 0);
    io_uring_sqe_set_data64(sqe, Tag(kRecv, id));
}

// A send with no completion of its own when it succeeds, then the next
// receive, which starts only once the send is done.
void SendThenRecv(io_uring* ring, Conn& c, uint32_t id, const char* data, unsigned n) {
    io_uring_sqe* sqe = Entry(ring);
    io_uring_prep_send(sqe, c.fd, data, n, 0);
    sqe->flags |= IOSQE_IO_LINK | IOSQE_CQE_SKIP_SUCCESS;
    io_uring_sqe_set_data64(sqe, Tag(kRecv, id));
    // Both entries must be in one submission for the link to hold; with
    // no room left the send goes alone, ahead of the receive.
    if (io_uring_sq_space_left(ring) == 0) {
        sqe->flags &= ~IOSQE_IO_LINK;
        io_uring_submit(ring);
    }
    Recv(ring, c, id);
}

// What both servers share: the ring, the listener, a stop signal (an
// eventfd) and the connections, and their teardown once the loop ended.
class RingServer : public Server {
public:
    void Stop() override {
        if (!thread_.joinable()) return;
        uint64_t one = 1;
        if (write(stop_, &one, sizeof one) != sizeof one) return;
        thread_.join();
        for (Conn* c : conns_) {
            close(c->fd);
            delete c;
        }
        close(listener_);
        close(stop_);
        if (ep_ >= 0) close(ep_);
        io_uring_queue_exit(&ring_);
    }

protected:
    // The ring and a listener on 127.0.0.1; its port, or -1.
    int Open(ServerMode mode, ServerStats* stats, int flags) {
        if (mode != ServerMode::Echo) return -1;
        stats_ = stats;
        if (!InitRing(&ring_)) return -1;
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
        int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listener_, 4096) != 0) return -1;
        socklen_t len = sizeof sa;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
        stop_ = eventfd(0, EFD_CLOEXEC);
        return ntohs(sa.sin_port);
    }

    Conn* Add(int fd, uint32_t* id) {
        SetNoDelay(fd);
        Conn* c = new Conn;
        c->fd = fd;
        *id = uint32_t(conns_.size());
        conns_.push_back(c);
        stats_->OnAccepted();
        return c;
    }

    io_uring ring_{};
    int listener_ = -1;
    int stop_ = -1;
    int ep_ = -1;
    ServerStats* stats_ = nullptr;
    std::vector<Conn*> conns_;
    std::thread thread_;
};

class UringServer : public RingServer {
public:
    int Start(ServerMode mode, ServerStats* stats) override {
        int port = Open(mode, stats, 0);
        if (port < 0) return -1;
        io_uring_sqe* sqe = Entry(&ring_);
        io_uring_prep_multishot_accept(sqe, listener_, nullptr, nullptr, SOCK_CLOEXEC);
        io_uring_sqe_set_data64(sqe, Tag(kAccept, 0));
        sqe = Entry(&ring_);
        io_uring_prep_read(sqe, stop_, &stopValue_, sizeof stopValue_, 0);
        io_uring_sqe_set_data64(sqe, Tag(kStop, 0));
        io_uring_submit(&ring_);
        thread_ = std::thread([this] { Loop(); });
        return port;
    }

private:
    void Loop() {
        for (;;) {
            io_uring_submit_and_wait(&ring_, 1);
            io_uring_cqe* cqe;
            unsigned head, seen = 0;
            bool stop = false;
            io_uring_for_each_cqe(&ring_, head, cqe) {
                ++seen;
                uint64_t tag = io_uring_cqe_get_data64(cqe);
                switch (OpOf(tag)) {
                    case kStop: stop = true; break;
                    case kAccept: Accepted(cqe); break;
                    case kRecv: Received(ConnOf(tag), cqe->res); break;
                }
            }
            io_uring_cq_advance(&ring_, seen);
            if (stop) return;
        }
    }

    void Accepted(io_uring_cqe* cqe) {
        if (cqe->res < 0) return;
        uint32_t id;
        Conn* c = Add(cqe->res, &id);
        Recv(&ring_, *c, id);
        if (!(cqe->flags & IORING_CQE_F_MORE)) {
            io_uring_sqe* sqe = Entry(&ring_);
            io_uring_prep_multishot_accept(sqe, listener_, nullptr, nullptr, SOCK_CLOEXEC);
            io_uring_sqe_set_data64(sqe, Tag(kAccept, 0));
        }
    }

    void Received(uint32_t id, int res) {
        Conn& c = *conns_[id];
        if (res <= 0) {
            stats_->closed.fetch_add(1);
            return;   // closed or failed: the connection is left alone
        }
        SendThenRecv(&ring_, c, id, c.buf, unsigned(res));
    }

    uint64_t stopValue_ = 0;
};


// ---- readiness kept, calls batched ------------------------------------------

// One batch of operations that complete at once: submits them, waits for
// all, and hands each result with its connection to done.
template <typename Done>
void RunBatch(io_uring* ring, unsigned n, Done done) {
    if (n == 0) return;
    io_uring_submit_and_wait(ring, n);
    unsigned got = 0;
    while (got < n) {
        io_uring_cqe* cqe;
        unsigned head, seen = 0;
        io_uring_for_each_cqe(ring, head, cqe) {
            ++seen;
            done(ConnOf(io_uring_cqe_get_data64(cqe)), cqe->res);
        }
        io_uring_cq_advance(ring, seen);
        got += seen;
        if (got < n) io_uring_wait_cqe_nr(ring, &cqe, 1);
    }
}

void PrepBatched(io_uring* ring, bool send, Conn& c, uint32_t id, const char* data, unsigned n) {
    io_uring_sqe* sqe = Entry(ring);
    if (send) {
        io_uring_prep_send(sqe, c.fd, data, n, MSG_DONTWAIT);
    } else {
        io_uring_prep_recv(sqe, c.fd, c.buf, sizeof c.buf, MSG_DONTWAIT);
    }
    io_uring_sqe_set_data64(sqe, Tag(kRecv, id));
}

const uint64_t kListenerKey = ~uint64_t(0);
const uint64_t kStopKey = ~uint64_t(0) - 1;

bool Watch(int ep, int fd, uint64_t key) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = key;
    return epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) == 0;
}

class BatchServer : public RingServer {
public:
    int Start(ServerMode mode, ServerStats* stats) override {
        int port = Open(mode, stats, SOCK_NONBLOCK);
        if (port < 0) return -1;
        ep_ = epoll_create1(EPOLL_CLOEXEC);
        if (!Watch(ep_, listener_, kListenerKey) || !Watch(ep_, stop_, kStopKey)) return -1;
        thread_ = std::thread([this] { Loop(); });
        return port;
    }

private:
    void Loop() {
        std::vector<epoll_event> evs(4096);
        for (;;) {
            int n = epoll_wait(ep_, evs.data(), int(evs.size()), -1);
            unsigned reads = 0;
            for (int i = 0; i < n; ++i) {
                uint64_t key = evs[size_t(i)].data.u64;
                if (key == kStopKey) return;
                if (key == kListenerKey) {
                    AcceptAll();
                    continue;
                }
                PrepBatched(&ring_, false, *conns_[key], uint32_t(key), nullptr, 0);
                ++reads;
            }
            unsigned sends = 0;
            RunBatch(&ring_, reads, [&](uint32_t id, int res) {
                Conn& c = *conns_[id];
                if (res > 0) {
                    PrepBatched(&ring_, true, c, id, c.buf, unsigned(res));
                    ++sends;
                } else if (res == 0 || res != -EAGAIN) {
                    epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
                    stats_->closed.fetch_add(1);
                }
            });
            RunBatch(&ring_, sends, [](uint32_t, int) {});
        }
    }

    void AcceptAll() {
        for (;;) {
            int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            uint32_t id;
            Add(fd, &id);
            Watch(ep_, fd, id);
        }
    }

};

bool Connect(int port, Conn* c) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    c->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (c->fd < 0 || connect(c->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return false;
    SetNoDelay(c->fd);
    return true;
}

// The client's loop on completions: each answer's receive completes, the
// next ping and its receive go in. False when a peer closed.
bool CompletionPingPong(io_uring* ring, std::vector<Conn>& conns, double end, uint64_t* count, double* now) {
    for (uint32_t i = 0; i < conns.size(); ++i) SendThenRecv(ring, conns[i], i, kPayload, kMessage);
    for (;;) {
        io_uring_submit_and_wait(ring, 1);
        io_uring_cqe* cqe;
        unsigned head, seen = 0;
        bool done = false, ok = true;
        io_uring_for_each_cqe(ring, head, cqe) {
            ++seen;
            if (done || !ok) continue;
            uint32_t id = ConnOf(io_uring_cqe_get_data64(cqe));
            if (cqe->res <= 0) {
                ok = false;
                continue;
            }
            Conn& c = conns[id];
            c.got += unsigned(cqe->res);
            bool sent = false;
            while (c.got >= kMessage && !done) {
                c.got -= kMessage;
                ++*count;
                *now = NowSec();
                done = *now >= end;
                if (!done) SendThenRecv(ring, c, id, kPayload, kMessage);
                sent = !done;
            }
            if (!done && !sent) Recv(ring, c, id);
        }
        io_uring_cq_advance(ring, seen);
        if (done || !ok) return ok;
    }
}

// The client's loop with readiness kept: receives of the readable sockets
// as one batch, then the next pings as another. False when a peer closed.
bool BatchPingPong(io_uring* ring, std::vector<Conn>& conns, double end, uint64_t* count, double* now) {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    for (uint32_t i = 0; i < conns.size(); ++i) Watch(ep, conns[i].fd, i);
    for (uint32_t i = 0; i < conns.size(); ++i) PrepBatched(ring, true, conns[i], i, kPayload, kMessage);
    RunBatch(ring, unsigned(conns.size()), [](uint32_t, int) {});
    std::vector<epoll_event> evs(4096);
    bool ok = true, done = false;
    while (ok && !done) {
        int n = epoll_wait(ep, evs.data(), int(evs.size()), -1);
        for (int i = 0; i < n; ++i) {
            uint32_t id = uint32_t(evs[size_t(i)].data.u64);
            PrepBatched(ring, false, conns[id], id, nullptr, 0);
        }
        unsigned sends = 0;
        RunBatch(ring, unsigned(n < 0 ? 0 : n), [&](uint32_t id, int res) {
            if (res == -EAGAIN) return;
            if (res <= 0) {
                ok = false;
                return;
            }
            Conn& c = conns[id];
            c.got += unsigned(res);
            while (c.got >= kMessage && !done) {
                c.got -= kMessage;
                ++*count;
                *now = NowSec();
                if (*now >= end) {
                    done = true;
                    break;
                }
                PrepBatched(ring, true, c, id, kPayload, kMessage);
                ++sends;
            }
        });
        RunBatch(ring, sends, [](uint32_t, int) {});
    }
    close(ep);
    return ok;
}

}  // namespace

std::unique_ptr<Server> MakeUringServer(bool batch) {
    if (batch) return std::unique_ptr<Server>(new BatchServer());
    return std::unique_ptr<Server>(new UringServer());
}

bool UringClient(const ClientJob& job, bool batch, ClientResult* r) {
    if (job.bench != "pingpong") {
        r->error = "uring-runs-pingpong-only";
        return false;
    }
    std::vector<int> idle = OpenIdle(job.port, job.idle);
    if (int(idle.size()) != job.idle) {
        r->error = "idle-connect-failed";
        return false;
    }
    io_uring ring;
    if (!InitRing(&ring)) {
        r->error = "io_uring-unavailable";
        return false;
    }
    std::vector<Conn> conns(size_t(job.conns));
    for (Conn& c : conns) {
        if (!Connect(job.port, &c)) {
            r->error = "connect-failed";
            return false;
        }
    }
    uint64_t count = 0;
    const double start = NowSec();
    double now = start;
    bool ok = batch ? BatchPingPong(&ring, conns, start + job.secs, &count, &now)
                    : CompletionPingPong(&ring, conns, start + job.secs, &count, &now);
    for (Conn& c : conns) close(c.fd);
    for (int fd : idle) close(fd);
    io_uring_queue_exit(&ring);
    if (!ok) {
        r->error = "peer-closed";
        return false;
    }
    r->ok = true;
    r->count = count;
    r->secs = now - start;
    return true;
}

}  // namespace bench
