// Connections closed and deleted by host threads, and from inside their own
// callbacks, while their events arrive. Run under AddressSanitizer and
// ThreadSanitizer builds as well: a delivery that overlaps Close or the
// deletion shows up there as a use after free or a race.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "tests/http_live/live_support.h"

using namespace http_live;
using VemNetwork::IHttpConn;

namespace {

std::atomic<int> g_lateEvents(0);
std::atomic<int> g_events(0);
std::atomic<int> g_bytes(0);
// Events by kind: connect, data, sent, timeout, close, error.
std::atomic<int> g_kinds[6];

// Counts every event that arrives after its connection was closed.
class StressCallback : public VemNetwork::INetConnCallback {
public:
    std::atomic<bool> closed{false};
    std::atomic<bool> closeFromCallback{false};
    std::atomic<bool> selfClosed{false};
    IHttpConn* conn = nullptr;

    void OnConnect(int) override { Note(); ++g_kinds[0]; }
    int OnData(const char*, int length) override {
        Note(); ++g_kinds[1];
        Busy();
        g_bytes += length;
        return length;
    }
    void OnSent() override {
        Note(); ++g_kinds[2];
        Busy();
        if (closeFromCallback.load() && !selfClosed.load()) {
            conn->Close();
            closed.store(true);
            selfClosed.store(true);
        }
    }
    void OnTimeout() override { Note(); ++g_kinds[3]; }
    void OnClose() override { Note(); ++g_kinds[4]; }
    void OnError(int) override { Note(); ++g_kinds[5]; }

private:
    // Stays inside the callback for a moment: a Close that returned
    // meanwhile did not wait for this delivery.
    void Busy() {
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        if (closed.load()) ++g_lateEvents;
    }
    void Note() {
        if (closed.load()) ++g_lateEvents;
        ++g_events;
    }
};

}  // namespace

class Stress : public LiveTest {};

TEST_F(Stress, CloseAndDeleteWhileEventsArrive) {
    const int kThreads = 4;
    const int kRounds = 10;
    std::vector<std::unique_ptr<StressCallback>> callbacks(kThreads * kRounds);
    std::vector<std::thread> threads;
    const std::wstring url = Url();
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 gen(unsigned(t) * 31 + 7);
            for (int round = 0; round < kRounds; ++round) {
                StressCallback* cb = new StressCallback();
                callbacks[t * kRounds + round].reset(cb);
                IHttpConn* conn = nullptr;
                CreateHttpConn(&conn, cb, url, L"POST", 5, 20, L"", {}, std::string(), nullptr);
                cb->conn = conn;
                int mode = int(gen() % 3);
                conn->Connect(L"127.0.0.1", port, int(gen() % 60), nullptr);   // timeouts fire as well
                int sends = 1 + int(gen() % 6);
                for (int i = 0; i < sends; ++i) {
                    std::string msg = RandomBytes(1 + gen() % 3000, gen());
                    conn->Send(msg.data(), int(msg.size()));
                    std::this_thread::sleep_for(std::chrono::milliseconds(gen() % 40));
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(gen() % 200));
                if (mode == 0) {
                    conn->Close();
                    cb->closed.store(true);
                    delete conn;
                } else if (mode == 1) {
                    delete conn;   // the destructor closes
                    cb->closed.store(true);
                } else {
                    cb->closeFromCallback.store(true);
                    bool done = testing_support::WaitFor([&] { return cb->selfClosed.load(); }, 5000);
                    EXPECT_TRUE(done) << "no event came to close the connection from";
                    delete conn;
                }
            }
        });
    }
    for (std::thread& th : threads) th.join();
    // Whatever is still queued for the closed connections runs now.
    testing_support::WaitFor([] { return false; }, 600);
    EXPECT_EQ(0, g_lateEvents.load()) << "events reached closed connections";
    EXPECT_GT(g_events.load(), kThreads * kRounds * 2);
    EXPECT_GT(g_bytes.load(), 0) << "no data came back during the run";
    EXPECT_GT(g_kinds[3].load(), 0) << "no timeout fired during the run";
    EXPECT_EQ(0, g_kinds[4].load()) << "HTTP connections never report OnClose";
}

TEST_F(Stress, SendAndSetTimeoutWhileCallbacksCloseAndConnect) {
    // The frame thread replaces the context (Close, then Connect, from a
    // callback) while a host thread sends through it: under ThreadSanitizer
    // an unguarded read of the context shows up as a race.
    const int kReconnects = 6;
    Recorder cb;
    ConnSetup setup;
    setup.url = Url();
    setup.baseInterval = 5;
    setup.maxInterval = 20;
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    std::atomic<int> reconnects(0);
    std::atomic<bool> stop(false);
    cb.after = [&](Ev kind) {
        if (kind != Ev::Sent || stop.load() || reconnects.load() >= kReconnects) return;
        conn->Close();
        conn->Connect(L"127.0.0.1", port, 60000, nullptr);
        ++reconnects;
    };
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    std::thread host([&] {
        while (!stop.load()) {
            conn->Send("race", 4);
            conn->SetTimeout(60000);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    bool done = testing_support::WaitFor([&] { return reconnects.load() >= kReconnects; }, 20000);
    stop.store(true);
    host.join();
    conn->Close();
    EXPECT_TRUE(done) << "reconnected " << reconnects.load() << " times";
    EXPECT_EQ(0, cb.Count(Ev::Error));
}
