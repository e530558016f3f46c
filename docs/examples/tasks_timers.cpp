// Tasks and timers. Tasks carry work onto a frame's thread from anywhere;
// a socket's one-shot timer, re-armed from OnTimer, makes a heartbeat.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>

#include <vemnet/vemnet.h>

namespace guide {

// A function run on a frame's thread. The frame deletes the task after a
// Run that returned; after a Run that threw it calls OnError instead and
// leaves the task to itself.
class CallTask : public INetTask {
public:
    CallTask(std::function<void()> run, std::function<void(const char*)> failed)
        : run_(std::move(run)), failed_(std::move(failed)) {}
    void Run() override { run_(); }
    void OnError(int code, const char* text) override {
        if (failed_) failed_(text);
        delete this;
    }

private:
    std::function<void()> run_;
    std::function<void(const char*)> failed_;
};

// Queues fn on frame (null: the default frame). front 1: ahead of the
// tasks already queued.
bool Post(IAsyncSelector* frame, std::function<void()> fn, int front = 0,
          std::function<void(const char*)> failed = nullptr) {
    return AddAsyncNetTask(new CallTask(std::move(fn), std::move(failed)), front, frame);
}

// From inside one task, queues "A" and "B" at the tail, "C" at the head and
// one that throws; they run in the next cycle. Returns the order seen,
// "C A B !refused" on a working frame.
std::string TaskOrder() {
    std::mutex m;
    std::condition_variable cv;
    std::string order;
    int finished = 0;
    auto note = [&](const std::string& what) {
        std::lock_guard<std::mutex> g(m);
        order += order.empty() ? what : " " + what;
        ++finished;
        cv.notify_all();
    };
    bool queued = Post(nullptr, [&] {
        Post(nullptr, [&] { note("A"); });
        Post(nullptr, [&] { note("B"); });
        Post(nullptr, [&] { note("C"); }, 1);
        Post(nullptr, [] { throw std::runtime_error("refused"); }, 0,
             [&](const char* text) { note(std::string("!") + text); });
    });
    if (!queued) return "no frame";
    std::unique_lock<std::mutex> g(m);
    cv.wait_for(g, std::chrono::seconds(10), [&] { return finished == 4; });
    return order;
}

// A connection that sends "ping" every intervalMs, beats times, then closes.
// Its socket lives on the default frame and is touched only there.
class Heartbeat : public IASockCallback {
public:
    Heartbeat(int beats, int intervalMs) : beats_(beats), interval_(intervalMs) {}

    ISock* sock = nullptr;   // frame thread only
    std::mutex m;
    std::condition_variable cv;
    int sent = 0;
    bool done = false;
    std::string error;

    void OnConnect(int status) override {
        if (status != 0) return Finish("OnConnect(" + std::to_string(status) + ")");
        sock->SetTimer(interval_);   // one shot
    }
    void OnTimer() override {
        sock->Send("ping", 4);
        int n;
        {
            std::lock_guard<std::mutex> g(m);
            n = ++sent;
        }
        if (n < beats_) {
            sock->SetTimer(interval_);   // re-armed for the next beat
        } else {
            closing_ = true;   // Close would discard the ping still queued
        }
    }
    unsigned OnData(const char*, unsigned len) override { return len; }
    // The output queue is empty: everything reached the system.
    void OnSent() override {
        if (!closing_) return;
        sock->Close();
        sock = nullptr;
        Finish("");
    }
    void OnClose() override {
        sock = nullptr;
        Finish("closed by the peer");
    }
    void OnError(int code, const char* text) override {
        sock = nullptr;
        Finish("OnError(" + std::to_string(code) + ", " + text + ")");
    }

private:
    void Finish(const std::string& why) {
        std::lock_guard<std::mutex> g(m);
        if (sock && why.size()) {
            sock->Close();   // a failed connect leaves the socket to its user
            sock = nullptr;
        }
        done = true;
        error = why;
        cv.notify_all();
    }
    int beats_;
    int interval_;
    bool closing_ = false;   // frame thread only
};

// Runs a heartbeat against 127.0.0.1:port; returns the beats sent.
int RunHeartbeat(int port, int beats, int intervalMs, std::string* error) {
    Heartbeat hb(beats, intervalMs);
    // Created on the frame's thread, so that OnConnect finds `sock` set.
    Post(nullptr, [&hb, port] {
        hb.sock = CreateAsyncTcpSock(&hb, "127.0.0.1", port, 3000, nullptr);
        if (!hb.sock) {
            std::lock_guard<std::mutex> g(hb.m);
            hb.done = true;
            hb.error = "no socket";
            hb.cv.notify_all();
        }
    });
    std::unique_lock<std::mutex> g(hb.m);
    if (hb.cv.wait_for(g, std::chrono::seconds(20), [&] { return hb.done; })) {
        *error = hb.error;
    } else {
        *error = "no end";
    }
    return hb.sent;
}

}  // namespace guide
