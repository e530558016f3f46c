// The frame's readiness waiting: events in the order of owner address (read,
// write, except within one owner), interest changes, waking a wait from
// another thread, and some thousands of sockets in one wait; every case for
// each backend the build has.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/poller.h"
#include "tests/support/wait.h"
#include "tests/support/raw_sockets.h"
#include "vemnet/frame.h"

namespace {

uint32_t Loopback() { return plat::ParseIPv4("127.0.0.1"); }

struct Sock {
    plat::socket_t s = plat::kInvalidSocket;
    Sock() = default;
    explicit Sock(plat::socket_t v) : s(v) {}
    ~Sock() {
        if (s != plat::kInvalidSocket) plat::CloseSocket(s);
    }
    Sock(const Sock&) = delete;
    Sock& operator=(const Sock&) = delete;
};

// Connected loopback pairs made through one listener; the parameter names
// the backend.
class PollerTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        ASSERT_TRUE(plat::StartSockets());
        poller_ = plat::Poller::Create(GetParam());
        ASSERT_NE(nullptr, poller_) << GetParam() << " does not work here";
        listener_.s = plat::OpenSocket(true);
        ASSERT_EQ(0, plat::Bind(listener_.s, Loopback(), 0));
        ASSERT_EQ(0, plat::Listen(listener_.s, 64));
        ASSERT_EQ(0, plat::GetSockName(listener_.s, nullptr, &port_));
    }

    void Pair(Sock* client, Sock* server) {
        client->s = plat::OpenSocket(true);
        ASSERT_EQ(0, plat::Connect(client->s, Loopback(), port_)) << plat::LastSocketError();
        server->s = plat::Accept(listener_.s, nullptr, nullptr);
        ASSERT_NE(plat::kInvalidSocket, server->s);
        ASSERT_EQ(0, plat::SetNonBlocking(server->s));
    }

    // One Prepare/Wait/Collect round, as the frame runs it.
    int Round(int timeoutMs, std::vector<plat::PollEvent>* events) {
        poller_->Prepare();
        int error = 0;
        int n = poller_->Wait(int64_t(timeoutMs) * 1000, &error);
        EXPECT_GE(n, 0) << "wait failed with " << error;
        poller_->Collect(events);
        return n;
    }

    // Rounds until pred holds for the events of one round.
    bool RoundUntil(const std::function<bool(const std::vector<plat::PollEvent>&)>& pred,
                    std::vector<plat::PollEvent>* last, int rounds = 50) {
        for (int i = 0; i < rounds; ++i) {
            last->clear();
            Round(200, last);
            if (pred(*last)) return true;
        }
        return false;
    }

    static void ExpectOrdered(const std::vector<plat::PollEvent>& events) {
        for (size_t i = 1; i < events.size(); ++i) {
            const plat::PollEvent& a = events[i - 1];
            const plat::PollEvent& b = events[i];
            bool ordered = std::less<void*>()(a.owner, b.owner) ||
                           (a.owner == b.owner && a.mask < b.mask);
            EXPECT_TRUE(ordered) << "event " << i << " out of order";
        }
        for (const auto& e : events)
            EXPECT_TRUE(e.mask == EV_READ || e.mask == EV_WRITE || e.mask == EV_EXCEPT) << e.mask;
    }

    static unsigned MaskOf(const std::vector<plat::PollEvent>& events, void* owner) {
        unsigned m = 0;
        for (const auto& e : events)
            if (e.owner == owner) m |= e.mask;
        return m;
    }

    std::unique_ptr<plat::Poller> poller_;
    Sock listener_;
    int port_ = 0;
};

TEST_P(PollerTest, ReadableSocketsComeInOwnerOrder) {
    Sock c[3], s[3];
    for (int i = 0; i < 3; ++i) ASSERT_NO_FATAL_FAILURE(Pair(&c[i], &s[i]));
    char owners[3];
    // Registered against address order, so order can only come from the poller.
    for (int i = 2; i >= 0; --i) poller_->Set(&owners[i], s[i].s, EV_READ);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(1, plat::Send(c[i].s, "x", 1));

    std::vector<plat::PollEvent> ev;
    ASSERT_TRUE(RoundUntil([&](const std::vector<plat::PollEvent>& e) { return e.size() == 3; }, &ev));
    ExpectOrdered(ev);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(&owners[i], ev[i].owner);
        EXPECT_EQ(static_cast<unsigned>(EV_READ), ev[i].mask);
    }
}

TEST_P(PollerTest, ReadComesBeforeWriteWithinOneOwner) {
    Sock c, s;
    ASSERT_NO_FATAL_FAILURE(Pair(&c, &s));
    int owner = 0;
    poller_->Set(&owner, s.s, EV_READ | EV_WRITE | EV_EXCEPT);
    ASSERT_EQ(3, plat::Send(c.s, "abc", 3));
    std::vector<plat::PollEvent> ev;
    ASSERT_TRUE(RoundUntil([&](const std::vector<plat::PollEvent>& e) { return e.size() >= 2; }, &ev));
    ASSERT_EQ(2u, ev.size()) << "no exceptional condition was made";
    EXPECT_EQ(static_cast<unsigned>(EV_READ), ev[0].mask);
    EXPECT_EQ(static_cast<unsigned>(EV_WRITE), ev[1].mask);
}

TEST_P(PollerTest, InterestDecidesWhatIsReported) {
    Sock c, s;
    ASSERT_NO_FATAL_FAILURE(Pair(&c, &s));
    int owner = 0;
    ASSERT_EQ(1, plat::Send(c.s, "x", 1));

    // Readable, but watched for nothing: no event, and the wait times out.
    poller_->Set(&owner, s.s, 0);
    std::vector<plat::PollEvent> ev;
    EXPECT_EQ(0, Round(100, &ev));
    EXPECT_TRUE(ev.empty());

    // Writable only.
    poller_->Set(&owner, s.s, EV_WRITE);
    ASSERT_TRUE(RoundUntil([&](const std::vector<plat::PollEvent>& e) { return !e.empty(); }, &ev));
    ASSERT_EQ(1u, ev.size());
    EXPECT_EQ(static_cast<unsigned>(EV_WRITE), ev[0].mask);

    // Read as well.
    poller_->Set(&owner, s.s, EV_READ | EV_WRITE);
    ASSERT_TRUE(RoundUntil([&](const std::vector<plat::PollEvent>& e) { return e.size() == 2; }, &ev));
    EXPECT_EQ(static_cast<unsigned>(EV_READ | EV_WRITE), MaskOf(ev, &owner));

    // Removed: nothing, though still readable and writable.
    poller_->Remove(&owner);
    ev.clear();
    Round(100, &ev);
    EXPECT_TRUE(ev.empty());
}

TEST_P(PollerTest, OwnerRemovedAfterTheWaitGetsNoEvents) {
    Sock c[2], s[2];
    for (int i = 0; i < 2; ++i) ASSERT_NO_FATAL_FAILURE(Pair(&c[i], &s[i]));
    char owners[2];
    for (int i = 0; i < 2; ++i) {
        poller_->Set(&owners[i], s[i].s, EV_READ);
        ASSERT_EQ(1, plat::Send(c[i].s, "x", 1));
    }
    std::vector<plat::PollEvent> ev;
    for (int i = 0; i < 50 && ev.size() < 2; ++i) {
        poller_->Prepare();
        int error = 0;
        int n = poller_->Wait(200000, &error);
        ASSERT_GE(n, 0);
        if (n < 2) {
            ev.clear();
            poller_->Collect(&ev);
            continue;
        }
        poller_->Remove(&owners[0]);
        ev.clear();
        poller_->Collect(&ev);
        ASSERT_EQ(1u, ev.size());
        EXPECT_EQ(&owners[1], ev[0].owner);
        return;
    }
    FAIL() << "both sockets never became readable in one wait";
}

TEST_P(PollerTest, HangUpAndFailedConnectAreReported) {
    Sock c, s;
    ASSERT_NO_FATAL_FAILURE(Pair(&c, &s));
    int open = 0, failing = 0;
    poller_->Set(&open, s.s, EV_READ);
    plat::CloseSocket(c.s);
    c.s = plat::kInvalidSocket;
    // A connect to a port nobody listens on, watched as a connecting socket is.
    int closedPort = port_;
    plat::CloseSocket(listener_.s);
    listener_.s = plat::kInvalidSocket;
    Sock f(plat::OpenSocket(true));
    ASSERT_EQ(0, plat::SetNonBlocking(f.s));
    plat::Connect(f.s, Loopback(), closedPort);
    poller_->Set(&failing, f.s, EV_READ | EV_WRITE | EV_EXCEPT);
    unsigned seenOpen = 0, seenFailing = 0;
    std::vector<plat::PollEvent> ev;
    for (int i = 0; i < 50 && !(seenOpen && seenFailing); ++i) {
        ev.clear();
        Round(200, &ev);
        seenOpen |= MaskOf(ev, &open);
        seenFailing |= MaskOf(ev, &failing);
    }
    EXPECT_EQ(static_cast<unsigned>(EV_READ), seenOpen) << "the peer's close is no read event";
    EXPECT_NE(0u, seenFailing) << "the failed connect was never reported";
}

TEST_P(PollerTest, TimeoutWithNothingToWatch) {
    std::vector<plat::PollEvent> ev;
    uint64_t t0 = plat::MicroTicks();
    EXPECT_EQ(0, Round(150, &ev));
    uint64_t took = plat::MicroTicks() - t0;
    EXPECT_TRUE(ev.empty());
    EXPECT_GE(took, 100000u) << "the wait did not wait";
    EXPECT_LT(took, 20000000u);
}

TEST_P(PollerTest, WakeInterruptsALongWait) {
    Sock c, s;
    ASSERT_NO_FATAL_FAILURE(Pair(&c, &s));
    int owner = 0;
    poller_->Set(&owner, s.s, EV_READ);   // never readable in this test
    poller_->Prepare();
    std::atomic<bool> done{false};
    std::thread waker([&] {
        plat::SleepMs(200);
        poller_->Wake();
        // A second Wake while the first is pending must not harm.
        poller_->Wake();
        done = true;
    });
    int error = 0;
    uint64_t t0 = plat::MicroTicks();
    int n = poller_->Wait(30000000, &error);
    uint64_t took = plat::MicroTicks() - t0;
    waker.join();
    EXPECT_GE(n, 0);
    EXPECT_LT(took, 15000000u) << "Wake did not end the wait";
    std::vector<plat::PollEvent> ev;
    poller_->Collect(&ev);
    EXPECT_TRUE(ev.empty()) << "waking is no socket event";

    // The wake was consumed: the next wait waits again.
    ev.clear();
    t0 = plat::MicroTicks();
    EXPECT_EQ(0, Round(300, &ev));
    EXPECT_GE(plat::MicroTicks() - t0, 200000u) << "a stale wake ended the next wait";
    EXPECT_TRUE(ev.empty());
}

TEST_P(PollerTest, AWaitLastsItsTimeAfterAShorterOneWasWoken) {
    // The shorter wait's end may still be armed in the poller; it must not
    // end the longer wait that follows.
    poller_->Wake();
    std::vector<plat::PollEvent> ev;
    Round(100, &ev);
    uint64_t t0 = plat::MicroTicks();
    EXPECT_EQ(0, Round(400, &ev));
    EXPECT_GE(plat::MicroTicks() - t0, 400000u) << "the wait ended early";
    EXPECT_TRUE(ev.empty());
}

TEST_P(PollerTest, WakeBeforeTheWaitEndsItAtOnce) {
    poller_->Wake();
    std::vector<plat::PollEvent> ev;
    uint64_t t0 = plat::MicroTicks();
    poller_->Prepare();
    int error = 0;
    EXPECT_GE(poller_->Wait(30000000, &error), 0);
    EXPECT_LT(plat::MicroTicks() - t0, 15000000u);
    poller_->Collect(&ev);
    EXPECT_TRUE(ev.empty());
}

TEST_P(PollerTest, WakeEndsAWaitWithoutLimit) {
    std::thread waker([&] {
        plat::SleepMs(200);
        poller_->Wake();
    });
    poller_->Prepare();
    int error = 0;
    uint64_t t0 = plat::MicroTicks();
    EXPECT_GE(poller_->Wait(-1, &error), 0);
    EXPECT_LT(plat::MicroTicks() - t0, 15000000u);
    waker.join();
    std::vector<plat::PollEvent> ev;
    poller_->Collect(&ev);
}

TEST_P(PollerTest, WakesFromManyThreadsAreNeverLost) {
    // Wakes racing with the waits; whatever the interleaving, one more Wake
    // afterwards must still end a long wait.
    std::atomic<bool> stop{false};
    std::vector<std::thread> wakers;
    for (int i = 0; i < 3; ++i)
        wakers.emplace_back([&] {
            while (!stop) {
                poller_->Wake();
                std::this_thread::yield();
            }
        });
    std::vector<plat::PollEvent> ev;
    for (int i = 0; i < 300; ++i) Round(50, &ev);
    stop = true;
    for (auto& t : wakers) t.join();
    EXPECT_TRUE(ev.empty());
    Round(0, &ev);   // takes a wake that may still be pending

    std::thread last([&] {
        plat::SleepMs(100);
        poller_->Wake();
    });
    poller_->Prepare();
    int error = 0;
    uint64_t t0 = plat::MicroTicks();
    EXPECT_GE(poller_->Wait(30000000, &error), 0);
    EXPECT_LT(plat::MicroTicks() - t0, 15000000u) << "a Wake was lost";
    last.join();
    poller_->Collect(&ev);
    EXPECT_TRUE(ev.empty());
}

TEST_P(PollerTest, ThreeThousandSockets) {
    // UDP sockets: one descriptor each, always writable, readable when a
    // datagram waits.
    const int kCount = 3000;
    std::vector<std::unique_ptr<Sock>> socks;
    std::vector<int> ports(kCount);
    std::unique_ptr<char[]> owners(new char[kCount]);
    for (int i = 0; i < kCount; ++i) {
        socks.emplace_back(new Sock(plat::OpenSocket(false)));
        ASSERT_NE(plat::kInvalidSocket, socks.back()->s) << "socket " << i << ": " << plat::LastSocketError();
        ASSERT_EQ(0, plat::Bind(socks.back()->s, Loopback(), 0));
        ASSERT_EQ(0, plat::GetSockName(socks.back()->s, nullptr, &ports[i]));
        ASSERT_EQ(0, plat::SetNonBlocking(socks.back()->s));
    }
    // Registered in a scrambled order.
    for (int k = 0; k < kCount; ++k) {
        int i = (k * 7919) % kCount;
        poller_->Set(&owners[i], socks[i]->s, EV_READ);
    }
    std::set<int> expected;
    Sock sender(plat::OpenSocket(false));
    for (int i = 0; i < kCount; i += 13) {
        ASSERT_EQ(1, plat::SendTo(sender.s, "d", 1, Loopback(), ports[i]));
        expected.insert(i);
    }
    std::set<int> seen;
    std::vector<plat::PollEvent> ev;
    for (int round = 0; round < 50 && seen.size() < expected.size(); ++round) {
        ev.clear();
        Round(200, &ev);
        ExpectOrdered(ev);
        for (const auto& e : ev) {
            int i = static_cast<int>(static_cast<char*>(e.owner) - owners.get());
            ASSERT_TRUE(i >= 0 && i < kCount);
            EXPECT_EQ(static_cast<unsigned>(EV_READ), e.mask);
            EXPECT_EQ(1u, expected.count(i)) << "socket " << i << " had nothing to read";
            seen.insert(i);
            char b;
            EXPECT_EQ(1, testing_support::RecvFrom(socks[i]->s, &b, 1, nullptr, nullptr));
        }
    }
    EXPECT_EQ(expected, seen);

    // All of them writable in one wait, in owner order.
    for (int i = 0; i < kCount; ++i) poller_->Set(&owners[i], socks[i]->s, EV_WRITE);
    ASSERT_TRUE(RoundUntil([&](const std::vector<plat::PollEvent>& e) {
        return e.size() == static_cast<size_t>(kCount);
    }, &ev, 20));
    ExpectOrdered(ev);
    EXPECT_EQ(static_cast<void*>(&owners[0]), ev.front().owner);
    EXPECT_EQ(static_cast<void*>(&owners[kCount - 1]), ev.back().owner);
}

INSTANTIATE_TEST_SUITE_P(Backends, PollerTest, ::testing::ValuesIn(plat::Poller::Backends()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(PollerChoice, TheBestBackendIsTheDefault) {
    // The frame's poller is the first backend that works, not a fallback.
    std::unique_ptr<plat::Poller> chosen = plat::Poller::Create();
    std::unique_ptr<plat::Poller> best = plat::Poller::Create(plat::Poller::Backends().front());
    ASSERT_NE(nullptr, chosen);
    ASSERT_NE(nullptr, best);
    EXPECT_EQ(typeid(*best), typeid(*chosen));
}

}  // namespace
