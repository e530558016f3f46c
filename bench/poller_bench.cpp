// vemnet-poller-bench: what idle connections cost one frame's poller, for
// comparing the backends of one build (on Windows AFD, WSAPoll and select,
// run under wine by bench/run-poller-bench.sh). One backend a run:
//
//   vemnet-poller-bench BACKEND [--active 100] [--accept 2000] [--idle 10000] [--secs 1] [--peer-idle 1]
//
// 1. ACTIVE connections ping-pong 64-byte messages (one in flight each)
//    between a client frame and the server frame: messages per second alone.
// 2. With the pings paused, ACCEPT connections are made one after the other
//    from this thread, each sends one byte, and then every echo is read: the
//    time from the first connect to the last echo. The listener takes up to
//    64 waiting connections a cycle (a host's takes one).
// 3. Those connections stay idle in the server frame: the ping-pong rate
//    among them, and again once IDLE connections in all are idle.
//
// The frames are the library's own, made with the named poller; the idle
// connections' client ends are plain blocking sockets of this thread, or,
// with --peer-idle 1, those beyond ACCEPT are another process's: the
// program prints "WANT-IDLE <port> <count>" and goes on when a line comes
// on its standard input (under wine every socket of every wine process is
// also the wineserver's descriptor, and one process may hold 20000).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/frame_task.h"
#include "frame/sel_selector.h"
#include "platform/platform.h"
#include "platform/poller.h"
#include "sockets/server_socket.h"
#include "vemnet/sock.h"

namespace {

const unsigned kMessage = 64;
const int kFrameTimeoutMs = 100;
const int kConnectTimeoutMs = 10000;
const int kBenchAcceptsPerEvent = 64;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void SleepSec(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }


// Server side: echoes whatever arrives.
class EchoConn : public IASockCallback {
public:
    virtual ~EchoConn() {}
    ISock* sock = nullptr;
    void OnConnect(int) override {}
    void OnClose() override { delete this; }
    void OnError(int, const char*) override { delete this; }
    void OnTimer() override {}
    void OnSent() override {}
    unsigned OnData(const char* data, unsigned len) override { return sock->Send(data, len) ? len : 0; }
};

class Acceptor : public IAServerCallback {
public:
    std::atomic<int> accepted{0};
    void OnAccept(IAsyncSelector* frame, vemnet_socket_t s, unsigned, int) override {
        EchoConn* c = new EchoConn;
        c->sock = CreateAsyncServerSock(c, s, frame);
        if (!c->sock) {
            delete c;
            return;
        }
        accepted.fetch_add(1);
    }
};

// Client side: one message in flight, sent again when its echo is whole.
struct PingStats {
    std::atomic<long long> messages{0};
    std::atomic<int> connected{0};
    std::atomic<int> failed{0};
    std::atomic<bool> paused{false};
};

class PingConn : public IASockCallback {
public:
    explicit PingConn(PingStats* stats) : stats_(stats) {}
    ISock* sock = nullptr;
    bool idle = false;   // paused with no message in flight

    void Ping() {
        char msg[kMessage] = {'p'};
        idle = !sock->Send(msg, kMessage);
    }
    void OnConnect(int status) override {
        if (status != 0) {
            stats_->failed.fetch_add(1);
            return;
        }
        stats_->connected.fetch_add(1);
        Ping();
    }
    void OnClose() override { stats_->failed.fetch_add(1); }
    void OnError(int, const char*) override { stats_->failed.fetch_add(1); }
    void OnTimer() override {}
    void OnSent() override {}
    unsigned OnData(const char*, unsigned len) override {
        if (len < kMessage) return 0;
        stats_->messages.fetch_add(1, std::memory_order_relaxed);
        if (stats_->paused.load()) {
            idle = true;
        } else {
            Ping();
        }
        return kMessage;
    }

private:
    PingStats* stats_;
};

class Frame {
public:
    explicit Frame(std::unique_ptr<plat::Poller> poller) : frame_(new SelSelector(kFrameTimeoutMs, std::move(poller))) {
        thread_ = std::thread([this] { frame_->Run(); });
    }
    ~Frame() {
        frame_->Stop();
        thread_.join();
        // The sockets still in it are left to the process's exit.
    }
    IAsyncSelector* get() { return frame_; }

private:
    SelSelector* frame_;
    std::thread thread_;
};

bool WaitFor(const std::function<bool()>& done, double secs) {
    double until = Now() + secs;
    while (!done()) {
        if (Now() > until) return false;
        SleepSec(0.005);
    }
    return true;
}

double PingRate(PingStats* stats, double secs) {
    SleepSec(0.2);   // past the start
    long long m0 = stats->messages.load();
    double t0 = Now();
    SleepSec(secs);
    return double(stats->messages.load() - m0) / (Now() - t0);
}

// Blocking client ends of idle connections, made from this thread.
bool OpenIdle(std::vector<plat::socket_t>* socks, int count, int port, bool echo) {
    uint32_t loopback = plat::ParseIPv4("127.0.0.1");
    size_t first = socks->size();
    for (int i = 0; i < count; ++i) {
        plat::socket_t s = plat::OpenSocket(true);
        if (s == plat::kInvalidSocket || plat::Connect(s, loopback, port) != 0) {
            std::fprintf(stderr, "idle connection %d: error %d\n", int(socks->size()), plat::LastSocketError());
            if (s != plat::kInvalidSocket) plat::CloseSocket(s);
            return false;
        }
        socks->push_back(s);
        if (echo && plat::Send(s, "e", 1) != 1) return false;
    }
    if (!echo) return true;
    for (size_t i = first; i < socks->size(); ++i) {
        char b;
        if (plat::Recv((*socks)[i], &b, 1) != 1) {
            std::fprintf(stderr, "no echo on idle connection %d\n", int(i));
            return false;
        }
    }
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: vemnet-poller-bench BACKEND [--active N] [--accept N] [--idle N] [--secs S]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string backend = argv[1];
    int active = 100, acceptCount = 2000, idleTotal = 10000, peerIdle = 0;
    double secs = 1;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string opt = argv[i];
        if (opt == "--active") active = std::atoi(argv[i + 1]);
        else if (opt == "--accept") acceptCount = std::atoi(argv[i + 1]);
        else if (opt == "--idle") idleTotal = std::atoi(argv[i + 1]);
        else if (opt == "--secs") secs = std::atof(argv[i + 1]);
        else if (opt == "--peer-idle") peerIdle = std::atoi(argv[i + 1]);
        else return Usage();
    }
    if (!plat::StartSockets()) return 1;
    std::unique_ptr<plat::Poller> serverPoller = plat::Poller::Create(backend);
    std::unique_ptr<plat::Poller> clientPoller = plat::Poller::Create(backend);
    if (!serverPoller || !clientPoller) {
        std::fprintf(stderr, "no poller \"%s\" here\n", backend.c_str());
        return 1;
    }
    Frame server(std::move(serverPoller));
    Frame client(std::move(clientPoller));
    Acceptor acceptor;
    IServerSock* listener = CreateAsyncServer(&acceptor, 0, server.get(), "127.0.0.1", SERVER_REUSEADDR | SERVER_NONBLOCKING);
    if (!listener) return 1;
    // The waiting connections of a burst in one cycle, not one per cycle as
    // a host's listener takes them: under wine a cycle over 10,000 sockets
    // takes long enough that 8,000 one-per-cycle accepts would not end.
    static_cast<ServerSocket*>(listener)->SetAcceptsPerEvent(kBenchAcceptsPerEvent);
    const int port = listener->GetLocalPort();

    PingStats stats;
    std::vector<PingConn*> pings;
    for (int i = 0; i < active; ++i) pings.push_back(new PingConn(&stats));
    IAsyncSelector* cf = client.get();
    Post(cf, [&pings, cf, port] {
        for (PingConn* p : pings) p->sock = CreateAsyncTcpSock(p, "127.0.0.1", port, kConnectTimeoutMs, cf);
    });
    if (!WaitFor([&] { return stats.connected.load() + stats.failed.load() >= active; }, 60) || stats.failed.load()) {
        std::fprintf(stderr, "the active connections did not all connect\n");
        return 1;
    }
    std::printf("RESULT bench=active-among-idle backend=%s ok=1 active=%d idle=0 rate=%.0f\n", backend.c_str(), active,
                PingRate(&stats, secs));
    std::fflush(stdout);

    stats.paused = true;
    std::atomic<int> idleCount{0};
    WaitFor([&] {
        Post(cf, [&] {
            int n = 0;
            for (PingConn* p : pings) n += p->idle ? 1 : 0;
            idleCount = n;
        });
        SleepSec(0.01);
        return idleCount.load() == active;
    }, 30);

    std::vector<plat::socket_t> idle;
    const int before = acceptor.accepted.load();
    double t0 = Now();
    bool ok = OpenIdle(&idle, acceptCount, port, true);
    double took = Now() - t0;
    ok = ok && acceptor.accepted.load() - before == acceptCount;
    std::printf("RESULT bench=accept-echo backend=%s ok=%d conns=%d secs=%.3f\n", backend.c_str(), ok ? 1 : 0,
                acceptCount, took);
    std::fflush(stdout);
    if (!ok) return 1;

    stats.paused = false;
    Post(cf, [&pings] {
        for (PingConn* p : pings)
            if (p->idle) p->Ping();
    });
    std::printf("RESULT bench=active-among-idle backend=%s ok=1 active=%d idle=%d rate=%.0f\n", backend.c_str(),
                active, int(idle.size()), PingRate(&stats, secs));
    std::fflush(stdout);

    if (idleTotal > int(idle.size())) {
        const int more = idleTotal - int(idle.size());
        const int want = acceptor.accepted.load() + more;
        if (peerIdle) {
            std::printf("WANT-IDLE %d %d\n", port, more);
            std::fflush(stdout);
            char line[64];
            ok = std::fgets(line, sizeof line, stdin) != nullptr;
        } else {
            ok = OpenIdle(&idle, more, port, false);
        }
        ok = ok && WaitFor([&] { return acceptor.accepted.load() >= want; }, 300);
        if (!ok) {
            std::printf("RESULT bench=active-among-idle backend=%s ok=0 active=%d idle=%d\n", backend.c_str(), active,
                        idleTotal);
            return 1;
        }
        std::printf("RESULT bench=active-among-idle backend=%s ok=1 active=%d idle=%d rate=%.0f\n", backend.c_str(),
                    active, idleTotal, PingRate(&stats, secs));
        std::fflush(stdout);
    }
    stats.paused = true;
    for (plat::socket_t s : idle) plat::CloseSocket(s);
    return 0;
}
