// The vemnet side of every benchmark, written against the public headers
// only, as a host would.
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/common.h"
#include "bench/frame_task.h"
#include "vemnet/frame.h"
#include "vemnet/sock.h"

namespace bench {
namespace {

const char kPayload[kMessage] = {'p', 'i', 'n', 'g'};
char g_bulk[kBulkChunk];


// ---- server ---------------------------------------------------------------

class ServerConn : public IASockCallback {
public:
    ServerConn(ServerMode mode, ServerStats* stats) : mode_(mode), stats_(stats) {}
    virtual ~ServerConn() {}
    ISock* sock = nullptr;

    void OnConnect(int) override {}
    void OnClose() override { Gone(); }
    void OnError(int, const char*) override { Gone(); }
    void OnTimer() override {}
    void OnSent() override {}
    unsigned OnData(const char* data, unsigned len) override {
        switch (mode_) {
        case ServerMode::Echo:
            if (!sock->Send(data, len)) return 0;   // full: keep it and retry with the next bytes
            break;
        case ServerMode::Sink:
            stats_->OnSinkBytes(len);
            break;
        case ServerMode::Greet:
            break;
        }
        return len;
    }

private:
    void Gone() {
        stats_->closed.fetch_add(1);
        delete this;
    }
    ServerMode mode_;
    ServerStats* stats_;
};

class VemnetServer : public Server, public IAServerCallback {
public:
    ~VemnetServer() override { Stop(); }

    int Start(ServerMode mode, ServerStats* stats) override {
        mode_ = mode;
        stats_ = stats;
        frame_ = CreateAsyncFrame(0, 100);
        if (!frame_) return -1;
        listener_ = CreateAsyncServer(this, 0, frame_, "127.0.0.1", SERVER_REUSEADDR | SERVER_NONBLOCKING);
        int port = listener_->GetLocalPort();
        thread_ = std::thread([this] { frame_->Run(); });
        return port;
    }

    void Stop() override {
        if (frame_) frame_->Stop();
        if (thread_.joinable()) thread_.join();
        // Connections and the frame are left to the process's exit.
    }

    void OnAccept(IAsyncSelector* frame, vemnet_socket_t s, unsigned, int) override {
        SetNoDelay(s);
        ServerConn* c = new ServerConn(mode_, stats_);
        c->sock = CreateAsyncServerSock(c, s, frame);
        if (!c->sock) {
            delete c;
            return;
        }
        stats_->OnAccepted();
        if (mode_ == ServerMode::Greet) c->sock->Send("g", 1);
    }

private:
    ServerMode mode_ = ServerMode::Echo;
    ServerStats* stats_ = nullptr;
    IAsyncSelector* frame_ = nullptr;
    IServerSock* listener_ = nullptr;
    std::thread thread_;
};

// ---- client ---------------------------------------------------------------

class Client;

class ClientConn : public IASockCallback {
public:
    explicit ClientConn(Client* owner) : owner_(owner) {}
    virtual ~ClientConn() {}
    ISock* sock = nullptr;
    bool connected = false;
    unsigned got = 0;
    uint64_t sent = 0;

    void OnConnect(int status) override;
    void OnClose() override;
    void OnError(int, const char* text) override;
    void OnTimer() override {}
    unsigned OnData(const char* data, unsigned len) override;
    void OnSent() override;

private:
    Client* owner_;
};

class Client {
public:
    Client(const ClientJob& job, ClientResult* r) : job_(job), r_(r) {}

    bool Run() {
        std::vector<int> idle = OpenIdle(job_.port, job_.idle);
        if (int(idle.size()) != job_.idle) return Fail("idle-connect-failed");
        frame_ = CreateAsyncFrame(0, 100);
        if (!frame_) return Fail("no-frame");
        Post(frame_, [this] { Begin(); });
        frame_->Run();
        for (int fd : idle) close(fd);
        return r_->ok;
    }

    void Begin() {
        if (job_.bench == "connrate") {
            start_ = NowSec();
            end_ = start_ + job_.secs;
            for (int i = 0; i < job_.inflight; ++i) Launch();
        } else {
            int first = std::min(job_.conns, 256);
            for (int i = 0; i < first; ++i) Launch();
        }
    }

    void Launch() {
        ClientConn* c = new ClientConn(this);
        ++launched_;
        ISock* s = CreateAsyncTcpSock(c, "127.0.0.1", job_.port, 10000, frame_);
        if (!s) {
            delete c;
            Fail("connect-could-not-start");
            return;
        }
        c->sock = s;
        if (job_.bench != "connrate") conns_.push_back(c);
        if (c->connected) Connected(c);   // a connect that completed at once
    }

    void Connected(ClientConn* c) {
        if (!c->sock) return;   // reported again once the factory returned
        if (job_.bench == "connrate") return;   // waits for the greeting
        ++connected_;
        if (job_.bench == "bulk") {
            Fill(c);
            return;
        }
        if (launched_ < job_.conns) Launch();
        if (connected_ == job_.conns) {
            start_ = NowSec();
            end_ = start_ + job_.secs;
            for (ClientConn* x : conns_) x->sock->Send(kPayload, kMessage);
        }
    }

    unsigned Data(ClientConn* c, const char*, unsigned len) {
        if (job_.bench == "connrate") {
            ++count_;
            c->sock->Close();
            delete c;   // a released socket calls nothing more
            double now = NowSec();
            if (now < end_) {
                Launch();
            } else if (--job_.inflight == 0) {
                Finish(now);
            }
            return len;
        }
        if (job_.bench == "bulk") return len;
        c->got += len;
        while (c->got >= kMessage) {
            c->got -= kMessage;
            ++count_;
            double now = NowSec();
            if (now >= end_) {
                Finish(now);
                return len;
            }
            c->sock->Send(kPayload, kMessage);
        }
        return len;
    }

    void Fill(ClientConn* c) {
        while (c->sent < job_.bytes) {
            unsigned n = unsigned(std::min<uint64_t>(kBulkChunk, job_.bytes - c->sent));
            if (!c->sock->Send(g_bulk, n)) return;
            c->sent += n;
        }
    }

    void Sent(ClientConn* c) {
        if (job_.bench != "bulk") return;
        if (c->sent < job_.bytes) {
            Fill(c);
        } else {
            // Everything is with the kernel; it delivers the rest after exit.
            Finish(NowSec());
        }
    }

    void Finish(double now) {
        if (done_) return;
        done_ = true;
        r_->ok = true;
        r_->count = count_;
        r_->secs = now - start_;
        frame_->Stop();
    }

    bool Fail(const char* why) {
        if (!done_) {
            done_ = true;
            r_->ok = false;
            r_->error = why;
            if (frame_) frame_->Stop();
        }
        return false;
    }

private:
    ClientJob job_;
    ClientResult* r_;
    IAsyncSelector* frame_ = nullptr;
    std::vector<ClientConn*> conns_;
    int launched_ = 0;
    int connected_ = 0;
    uint64_t count_ = 0;
    double start_ = 0, end_ = 0;
    bool done_ = false;
};

void ClientConn::OnConnect(int status) {
    if (status != 0) {
        owner_->Fail(status == 2 ? "connect-timed-out" : "connect-failed");
        return;
    }
    connected = true;
    owner_->Connected(this);
}
void ClientConn::OnClose() {
    sock = nullptr;
    owner_->Fail("peer-closed");
}
void ClientConn::OnError(int, const char* text) {
    sock = nullptr;
    owner_->Fail("socket-error");
}
unsigned ClientConn::OnData(const char* data, unsigned len) { return owner_->Data(this, data, len); }
void ClientConn::OnSent() { owner_->Sent(this); }

// ---- timer ----------------------------------------------------------------

class TimerConn : public IASockCallback {
public:
    TimerConn(int samples, std::vector<double>* out) : samples_(samples), out_(out) {}
    virtual ~TimerConn() {}
    ISock* sock = nullptr;
    std::atomic<bool> done{false};
    std::atomic<bool> failed{false};

    void OnConnect(int status) override {
        if (status != 0) {
            failed = true;
            return;
        }
        Arm();
    }
    void OnTimer() override {
        out_->push_back(double(NowNs() - armed_) - 10e6);
        if (int(out_->size()) < samples_) {
            Arm();
        } else {
            done = true;
        }
    }
    void OnClose() override { failed = true; }
    void OnError(int, const char*) override { failed = true; }
    unsigned OnData(const char*, unsigned len) override { return len; }
    void OnSent() override {}

private:
    void Arm() {
        armed_ = NowNs();
        sock->SetTimer(10);
    }
    int samples_;
    std::vector<double>* out_;
    uint64_t armed_ = 0;
};

class HoldAcceptor : public IAServerCallback {
public:
    std::vector<int> fds;
    void OnAccept(IAsyncSelector*, vemnet_socket_t s, unsigned, int) override { fds.push_back(s); }
};

}  // namespace

std::unique_ptr<Server> MakeVemnetServer() { return std::unique_ptr<Server>(new VemnetServer()); }

bool VemnetClient(const ClientJob& job, ClientResult* r) {
    Client c(job, r);
    return c.Run();
}

bool VemnetTaskLatency(int samples, std::vector<double>* ns) {
    IAsyncSelector* frame = CreateAsyncFrame(0, 100);
    if (!frame) return false;
    std::thread loop([frame] { frame->Run(); });
    std::vector<double> lat(static_cast<size_t>(samples));
    std::atomic<int> done(0);
    for (int i = 0; i < samples; ++i) {
        PauseBetweenSamples();
        uint64_t t0 = NowNs();
        double* slot = &lat[size_t(i)];
        Post(frame, [t0, slot, &done] {
            *slot = double(NowNs() - t0);
            done.fetch_add(1, std::memory_order_release);
        });
        while (done.load(std::memory_order_acquire) <= i) std::this_thread::yield();
    }
    frame->Stop();
    loop.join();
    delete frame;
    *ns = lat;
    return true;
}

bool VemnetTimerLateness(int samples, std::vector<double>* ns) {
    IAsyncSelector* frame = CreateAsyncFrame(0, 100);
    if (!frame) return false;
    HoldAcceptor acceptor;
    IServerSock* listener = CreateAsyncServer(&acceptor, 0, frame, "127.0.0.1", SERVER_REUSEADDR | SERVER_NONBLOCKING);
    int port = listener->GetLocalPort();
    ns->reserve(size_t(samples));
    TimerConn conn(samples, ns);
    std::thread loop([frame] { frame->Run(); });
    Post(frame, [&conn, frame, port] {
        conn.sock = CreateAsyncTcpSock(&conn, "127.0.0.1", port, 10000, frame);
        if (!conn.sock) conn.failed = true;
    });
    double until = NowSec() + samples * 0.05 + 10;
    while (!conn.done && !conn.failed && NowSec() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    frame->Stop();
    loop.join();
    for (int fd : acceptor.fds) close(fd);
    return conn.done;
}

}  // namespace bench
