// echo-demo: an echo server and a few clients on one frame of the library,
// over loopback. Every client sends a short ping, then a larger stream, and
// checks that each byte comes back unchanged.
//
//   echo-demo [clients [bytes [port]]]     defaults: 4 clients, 1 MiB, a free port
//
// Exits 0 only when every byte of every client came back intact.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vemnet/frame.h"
#include "vemnet/sock.h"

namespace {

using Clock = std::chrono::steady_clock;

const unsigned kPing = 64;

char StreamByte(size_t i, unsigned seed) { return char((i * 31u + i / 251u + seed * 17u) & 0xff); }

// Runs a function on the frame's thread.
class CallTask : public INetTask {
public:
    template <typename F>
    explicit CallTask(F f) : fn_(f) {}
    void Run() override { fn_(); }
    void OnError(int, const char* text) override { std::fprintf(stderr, "task failed: %s\n", text); }

private:
    std::function<void()> fn_;
};

struct Shared {
    std::mutex m;
    std::condition_variable cv;
    int clientsDone = 0;
    int serverConnsOpen = 0;
    int accepted = 0;
    size_t echoedByServer = 0;
};

// Server side of one connection: sends back whatever arrives, holding what
// the output queue cannot take until it has drained.
class EchoConn final : public IASockCallback {
public:
    explicit EchoConn(Shared* shared) : shared_(shared) {}
    ISock* sock = nullptr;

    void OnConnect(int) override {}
    void OnClose() override { End(); }
    void OnError(int code, const char* text) override {
        std::fprintf(stderr, "server connection error %d: %s\n", code, text);
        End();
    }
    void OnTimer() override {}
    unsigned OnData(const char* data, unsigned len) override {
        pending_.append(data, len);
        {
            std::lock_guard<std::mutex> g(shared_->m);
            shared_->echoedByServer += len;
        }
        Flush();
        return len;
    }
    void OnSent() override { Flush(); }

private:
    void Flush() {
        while (!pending_.empty()) {
            size_t n = pending_.size() < 65536 ? pending_.size() : 65536;
            if (!sock->Send(pending_.data(), unsigned(n))) return;   // OnSent follows the drain
            pending_.erase(0, n);
        }
    }
    void End() {
        {
            std::lock_guard<std::mutex> g(shared_->m);
            --shared_->serverConnsOpen;
        }
        shared_->cv.notify_all();
        delete this;   // the socket deletes itself right after this call
    }

    Shared* shared_;
    std::string pending_;
};

class EchoServer : public IAServerCallback {
public:
    explicit EchoServer(Shared* shared) : shared_(shared) {}
    void OnAccept(IAsyncSelector* frame, vemnet_socket_t s, unsigned, int) override {
        EchoConn* conn = new EchoConn(shared_);
        {
            std::lock_guard<std::mutex> g(shared_->m);
            ++shared_->accepted;
            ++shared_->serverConnsOpen;
        }
        conn->sock = CreateAsyncServerSock(conn, s, frame);
    }

private:
    Shared* shared_;
};

// One client. All callbacks run on the frame's thread; the results are read
// by main only after the client reported done under the shared lock.
class Client final : public IASockCallback {
public:
    Client(int id, size_t bytes, Shared* shared) : id_(id), total_(kPing + bytes), shared_(shared) {}

    void Start(IAsyncSelector* frame, int port) {
        started_ = Clock::now();
        sock_ = CreateAsyncTcpSock(this, "127.0.0.1", port, 3000, frame);
        if (!sock_) Finish("could not start the connect");
    }

    void OnConnect(int status) override {
        if (status != 0) return Finish(status == 2 ? "connect timed out" : "connect failed");
        connected_ = Clock::now();
        std::string ping(kPing, '\0');
        for (unsigned i = 0; i < kPing; ++i) ping[i] = StreamByte(i, unsigned(id_));
        pingSent_ = Clock::now();
        sock_->Send(ping.data(), kPing);
        sent_ = kPing;
    }
    void OnClose() override {
        sock_ = nullptr;
        Finish("server closed early");
    }
    void OnError(int code, const char* text) override {
        sock_ = nullptr;
        Finish("socket error " + std::to_string(code) + ": " + text);
    }
    void OnTimer() override {}
    void OnSent() override { Pump(); }
    unsigned OnData(const char* data, unsigned len) override {
        if (done_) return len;
        for (unsigned k = 0; k < len; ++k) {
            if (data[k] != StreamByte(received_ + k, unsigned(id_))) {
                Finish("byte " + std::to_string(received_ + k) + " came back changed");
                return len;
            }
        }
        received_ += len;
        if (received_ > total_) {
            Finish("more bytes came back than were sent");
        } else if (received_ >= kPing && pingBack_ == Clock::time_point()) {
            pingBack_ = Clock::now();
            Pump();   // the stream starts once the ping is back
        }
        if (received_ == total_) Finish("");
        return len;
    }

    // Valid once done.
    bool ok() const { return ok_; }
    std::string Report() const {
        if (!ok_) return "client " + std::to_string(id_) + ": FAILED: " + error_;
        auto us = [](Clock::duration d) { return (long long)std::chrono::duration_cast<std::chrono::microseconds>(d).count(); };
        char line[256];
        std::snprintf(line, sizeof line,
                      "client %d: connected in %lld us, ping round trip %lld us, %zu bytes echoed and checked in %lld ms",
                      id_, us(connected_ - started_), us(pingBack_ - pingSent_), total_,
                      us(finished_ - connected_) / 1000);
        return line;
    }
    size_t total() const { return total_; }

private:
    void Pump() {
        if (!sock_ || pingBack_ == Clock::time_point()) return;
        char buf[32768];
        while (sent_ < total_) {
            size_t n = total_ - sent_ < sizeof buf ? total_ - sent_ : sizeof buf;
            for (size_t k = 0; k < n; ++k) buf[k] = StreamByte(sent_ + k, unsigned(id_));
            if (!sock_->Send(buf, unsigned(n))) return;   // full: OnSent comes when it drains
            sent_ += n;
        }
    }
    void Finish(const std::string& error) {
        if (done_) return;
        done_ = true;
        ok_ = error.empty();
        error_ = error;
        finished_ = Clock::now();
        if (sock_) sock_->Close();
        sock_ = nullptr;
        {
            std::lock_guard<std::mutex> g(shared_->m);
            ++shared_->clientsDone;
        }
        shared_->cv.notify_all();
    }

    int id_;
    size_t total_;
    Shared* shared_;
    ISock* sock_ = nullptr;
    size_t sent_ = 0, received_ = 0;
    bool done_ = false, ok_ = false;
    std::string error_;
    Clock::time_point started_, connected_, pingSent_, pingBack_, finished_;
};

void OnFrame(IAsyncSelector* frame, std::function<void()> fn) {
    if (!AddAsyncNetTask(new CallTask(fn), 0, frame)) fn();
}

}  // namespace

int main(int argc, char** argv) {
    int clients = argc > 1 ? std::atoi(argv[1]) : 4;
    size_t bytes = argc > 2 ? size_t(std::strtoull(argv[2], nullptr, 10)) : size_t(1) << 20;
    int port = argc > 3 ? std::atoi(argv[3]) : 0;
    if (clients < 1 || clients > 1000) {
        std::fprintf(stderr, "usage: echo-demo [clients (1-1000) [bytes [port]]]\n");
        return 2;
    }

    IAsyncSelector* frame = CreateAsyncFrame(0, 10);
    if (!frame) {
        std::fprintf(stderr, "no frame could be created\n");
        return 1;
    }
    std::thread runner([frame] { frame->Run(); });

    Shared shared;
    EchoServer server(&shared);
    IServerSock* listener = nullptr;
    try {
        listener = CreateAsyncServer(&server, port, frame, "127.0.0.1",
                                     SERVER_REUSEADDR | SERVER_NONBLOCKING | SERVER_NODELAY);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "echo server: %s\n", e.what());
        frame->Stop();
        runner.join();
        delete frame;
        return 1;
    }
    port = listener->GetLocalPort();
    std::printf("echo server listening on 127.0.0.1:%d\n", port);

    // Clients start on the frame's thread, so each holds its socket before
    // the first event can reach it.
    std::vector<Client*> all;
    for (int i = 0; i < clients; ++i) all.push_back(new Client(i + 1, bytes, &shared));
    auto begin = Clock::now();
    OnFrame(frame, [&] {
        for (Client* c : all) c->Start(frame, port);
    });

    bool finished;
    {
        std::unique_lock<std::mutex> g(shared.m);
        finished = shared.cv.wait_for(g, std::chrono::seconds(20), [&] { return shared.clientsDone == clients; });
    }
    auto elapsed = Clock::now() - begin;

    // Every client has closed its socket; the server side ends on its own.
    {
        std::unique_lock<std::mutex> g(shared.m);
        shared.cv.wait_for(g, std::chrono::seconds(5), [&] { return shared.serverConnsOpen == 0; });
    }
    std::mutex closeMutex;
    std::condition_variable closeCv;
    bool closed = false;
    OnFrame(frame, [&] {
        listener->Close();
        std::lock_guard<std::mutex> g(closeMutex);
        closed = true;
        closeCv.notify_all();
    });
    {
        std::unique_lock<std::mutex> g(closeMutex);
        closeCv.wait_for(g, std::chrono::seconds(5), [&] { return closed; });
    }
    frame->Stop();
    runner.join();

    int good = 0;
    size_t checked = 0;
    if (!finished) std::printf("FAILED: not every client finished within 20 s\n");
    for (Client* c : all) {
        // Clients that never finished may still be referenced by a socket of
        // the stopped frame; they are left alone.
        if (!finished) break;
        std::printf("%s\n", c->Report().c_str());
        if (c->ok()) {
            ++good;
            checked += c->total();
        }
    }
    int accepted, open;
    size_t echoed;
    {
        std::lock_guard<std::mutex> g(shared.m);
        accepted = shared.accepted;
        open = shared.serverConnsOpen;
        echoed = shared.echoedByServer;
    }
    long long ms = (long long)std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    std::printf("%d connections accepted, %zu bytes echoed by the server, %zu bytes checked by %d of %d clients in %lld ms\n",
                accepted, echoed, checked, good, clients, ms);
    bool ok = finished && good == clients && accepted == clients && open == 0;
    if (finished) {
        for (Client* c : all) delete c;
        if (open == 0) delete frame;   // no socket of the frame is left behind
    }
    std::printf("%s\n", ok ? "all bytes came back intact" : "FAILED");
    return ok ? 0 : 1;
}
