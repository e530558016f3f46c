// Several host threads creating, sending on and closing sockets of one
// running frame. Meant to run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame/base_selector.h"
#include "frame/sel_selector.h"
#include "tests/support/frame_thread.h"
#include "tests/support/socket_helpers.h"
#include "tests/support/wait.h"
#include "vemnet/sock.h"

using namespace testing_support;

namespace {

// The server side of one accepted connection: echoes everything, keeping
// what the output queue cannot take yet.
class EchoConn final : public IASockCallback {
public:
    explicit EchoConn(std::atomic<int>* ended) : ended_(ended) {}
    ISock* sock = nullptr;
    void OnConnect(int) override {}
    void OnClose() override { End(); }
    void OnError(int, const char*) override { End(); }
    void OnTimer() override {}
    unsigned OnData(const char* data, unsigned len) override {
        pending_.append(data, len);
        Flush();
        return len;
    }
    void OnSent() override { Flush(); }

private:
    void Flush() {
        while (!pending_.empty()) {
            size_t n = std::min<size_t>(pending_.size(), 65536);
            if (!sock->Send(pending_.data(), unsigned(n))) return;
            pending_.erase(0, n);
        }
    }
    void End() {
        ++*ended_;
        delete this;
    }
    std::atomic<int>* ended_;
    std::string pending_;
};

class EchoAcceptor : public IAServerCallback {
public:
    std::atomic<int> accepted{0}, ended{0};
    void OnAccept(IAsyncSelector* frame, vemnet_socket_t s, unsigned, int) override {
        EchoConn* c = new EchoConn(&ended);
        c->sock = CreateAsyncServerSock(c, s, frame);
        ++accepted;
    }
};

// A client of a host thread. Callbacks run on the frame's thread; the host
// thread reads the state through the mutex.
class Client final : public IASockCallback {
public:
    explicit Client(uint32_t seed) : seed_(seed) {}
    void OnConnect(int status) override {
        std::lock_guard<std::mutex> g(m);
        connect = status;
    }
    void OnClose() override {
        std::lock_guard<std::mutex> g(m);
        dead = true;
    }
    void OnError(int, const char*) override {
        std::lock_guard<std::mutex> g(m);
        dead = true;
    }
    void OnTimer() override {
        std::lock_guard<std::mutex> g(m);
        ++timers;
    }
    unsigned OnData(const char* data, unsigned len) override {
        std::lock_guard<std::mutex> g(m);
        if (StreamMismatch(data, len, received, seed_) >= 0) corrupt = true;
        received += len;
        return len;
    }
    void OnSent() override {}

    std::mutex m;
    int connect = -1;
    bool dead = false, corrupt = false;
    size_t received = 0;
    int timers = 0;

private:
    uint32_t seed_;
};

}  // namespace

TEST(SocketStress, HostThreadsShareOneRunningFrame) {
    FrameThread ft(5);
    BaseSelector* frame = AsBase(ft.frame());
    EchoAcceptor acceptor;
    IServerSock* listener = CreateAsyncServer(&acceptor, 0, ft.frame(), "127.0.0.1", SERVER_NONBLOCKING);
    const int port = listener->GetLocalPort();
    const int kThreads = 4, kRounds = 25;
    std::atomic<int> made{0}, echoed{0}, failures{0};

    auto worker = [&](int t) {
        for (int r = 0; r < kRounds; ++r) {
            uint32_t seed = uint32_t(t * 1000 + r);
            Client* c = new Client(seed);
            ISock* s = nullptr;
            int timeout = (r % 3 == 0) ? 0 : 3000;   // blocking and background connects
            {
                // Stored before the frame can deliver anything to it.
                FrameGuard guard(timeout > 0 ? frame : nullptr);
                s = CreateAsyncTcpSock(c, "127.0.0.1", port, timeout, ft.frame());
            }
            if (!s) {
                ++failures;
                delete c;
                continue;
            }
            ++made;
            size_t bytes = 1 + (seed * 7919u) % 40000;
            bool wait = r % 4 != 1;   // some are closed with the echo still on its way
            std::string out = StreamBytes(0, bytes, seed);
            size_t half = bytes / 2;
            if (!s->Send(out.data(), unsigned(half)) || !s->Send(out.data() + half, unsigned(bytes - half))) ++failures;
            if (r % 5 == 0) s->SetTimer(1);
            if (wait) {
                bool ok = WaitFor([&] {
                    std::lock_guard<std::mutex> g(c->m);
                    return c->received >= bytes || c->dead;
                }, 15000);
                std::lock_guard<std::mutex> g(c->m);
                if (!ok || c->dead || c->corrupt || c->received != bytes) ++failures;
                else ++echoed;
            }
            {
                // The frame lock first, as the callbacks have it: the socket
                // cannot end on its own between the check and the Close.
                FrameGuard guard(frame);
                bool dead;
                {
                    std::lock_guard<std::mutex> g(c->m);
                    dead = c->dead;
                }
                if (!dead) s->Close();
            }
            // After Close no callback reaches c any more.
            delete c;
        }
    };

    // Meanwhile listeners come and go from another host thread.
    std::atomic<bool> stopListeners{false};
    std::thread churn([&] {
        while (!stopListeners) {
            IServerSock* extra = CreateAsyncServer(nullptr, 0, ft.frame(), "127.0.0.1", SERVER_NONBLOCKING);
            plat::socket_t c = RawConnect(extra->GetLocalPort());
            extra->Close();
            if (c != plat::kInvalidSocket) plat::CloseSocket(c);
        }
    });

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (std::thread& th : threads) th.join();
    stopListeners = true;
    churn.join();

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(made, kThreads * kRounds);
    EXPECT_GT(echoed, kThreads * kRounds / 2);
    // Every server side ends once its client has gone. (A client closed
    // while its handshake was still under way may never be accepted.)
    EXPECT_TRUE(WaitFor([&] { return acceptor.ended == acceptor.accepted; }, 15000));
    EXPECT_GE(acceptor.accepted, echoed.load());
    EXPECT_LE(acceptor.accepted, made.load());
    ft.RunSync([&] { listener->Close(); });
    size_t handlers = 99;
    ft.RunSync([&] { handlers = static_cast<SelSelector*>(frame)->HandlerCount(); });
    EXPECT_EQ(handlers, 0u);
}
