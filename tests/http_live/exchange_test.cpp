// Round trips, deliveries and the worker's pacing against the session
// server.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <tuple>

#include "tests/http_live/live_support.h"

using namespace http_live;
using VemNetwork::IHttpConn;

namespace {

long Ms(Clock::duration d) { return long(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()); }

void Pause(int ms) {
    testing_support::WaitFor([] { return false; }, ms);
}

}  // namespace

class RoundTrip : public LiveTest, public ::testing::WithParamInterface<std::tuple<size_t, bool>> {};

TEST_P(RoundTrip, EchoComesBackIntact) {
    size_t size = std::get<0>(GetParam());
    bool withCodec = std::get<1>(GetParam());
    Recorder cb;
    XorCodec codec;
    ConnSetup setup;
    setup.url = Url();
    setup.baseInterval = 20;
    setup.maxInterval = 80;
    setup.codec = withCodec ? &codec : nullptr;
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    std::string msg = RandomBytes(size, unsigned(size) * 7 + withCodec);
    ASSERT_EQ(0, conn->Send(msg.data(), int(msg.size())));
    ASSERT_TRUE(cb.WaitReceived(size, 30000)) << "got " << cb.Received().size() << " of " << size;
    Pause(100);
    EXPECT_EQ(msg.size(), cb.Received().size());
    EXPECT_TRUE(msg == cb.Received()) << "echo differs";
    conn->Close();

    // The codec works on the way out: the server saw the transformed bytes.
    std::string wire;
    for (const LoggedRequest& r : Log()) wire += BodyData(r.body);
    EXPECT_TRUE((withCodec ? codec.Apply(msg) : msg) == wire);
    EXPECT_EQ(0, cb.Count(Ev::Error));
    EXPECT_TRUE(cb.AllOnFrameThread());
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTrip,
                         ::testing::Combine(::testing::Values(size_t(1), size_t(3), size_t(57), size_t(58),
                                                              size_t(4096), size_t(102400)),
                                            ::testing::Bool()));

class Delivery : public LiveTest {};

TEST_F(Delivery, UnconsumedBytesAreOfferedAgainTransformedAfresh) {
    Recorder cb;
    XorCodec codec;
    ConnSetup setup;
    setup.url = Url();
    setup.codec = &codec;
    int offers = 0;
    cb.consume = [&](const char*, int n) { return ++offers == 1 ? 0 : n; };
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    std::string msg = RandomBytes(5000, 99);
    ASSERT_EQ(0, conn->Send(msg.data(), int(msg.size())));
    ASSERT_TRUE(cb.WaitReceived(msg.size(), 10000));
    conn->Close();
    std::vector<Event> data;
    for (const Event& e : cb.Events()) {
        if (e.kind == Ev::Data) data.push_back(e);
    }
    ASSERT_GE(data.size(), 2u);
    EXPECT_EQ(0, data[0].code);
    EXPECT_TRUE(data[0].data == msg);
    EXPECT_TRUE(data[1].data.compare(0, msg.size(), msg) == 0) << "second offer is not the same bytes";
    EXPECT_TRUE(cb.Received() == msg);
}

TEST_F(Delivery, CallbackThatThrowsLeavesTheBytesAndTheConnectionWorking) {
    // The frame reports the failed task instead of deleting it; the locks of
    // the delivery must be released and the bytes offered again.
    Recorder cb;
    ConnSetup setup;
    setup.url = Url();
    int offers = 0;
    cb.consume = [&](const char*, int n) -> int {
        if (++offers == 1) throw std::runtime_error("host failure");
        return n;
    };
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    ASSERT_EQ(0, conn->Send("first", 5));
    ASSERT_TRUE(cb.WaitReceived(5, 10000));
    ASSERT_EQ(0, conn->Send("second", 6));
    ASSERT_TRUE(cb.WaitReceived(11, 10000)) << "the worker is stuck behind the failed delivery";
    EXPECT_EQ("firstsecond", cb.Received());
    EXPECT_GE(offers, 3);
    conn->Close();
}

TEST_F(Delivery, PartialConsumptionKeepsTheRest) {
    Recorder cb;
    ConnSetup setup;
    setup.url = Url();
    setup.baseInterval = 10;
    setup.maxInterval = 20;
    cb.consume = [](const char*, int n) { return n < 700 ? n : 700; };
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    std::string msg = RandomBytes(5000, 5);
    ASSERT_EQ(0, conn->Send(msg.data(), int(msg.size())));
    ASSERT_TRUE(cb.WaitReceived(msg.size(), 10000));
    conn->Close();
    EXPECT_TRUE(cb.Received() == msg);
    EXPECT_GE(cb.Count(Ev::Data), 8);
}

TEST_F(Delivery, ReplyLargerThanTheReceiveBufferArrivesWhole) {
    // 200000 bytes in one reply: more than the 131072 bytes that may wait
    // for the host. The rest is held back, not dropped.
    const size_t kSize = 200000;
    Recorder cb;
    ConnSetup setup;
    setup.url = Url("/big/" + std::to_string(kSize));
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    ASSERT_TRUE(cb.WaitReceived(2 * kSize, 15000)) << "got " << cb.Received().size();
    conn->Close();
    std::string got = cb.Received();
    // The server's pattern: byte i is (7 i + 3) mod 251, sent for each poll.
    for (size_t i = 0; i < 2 * kSize; ++i) {
        ASSERT_EQ(char((i % kSize * 7 + 3) % 251), got[i]) << "at " << i;
    }
    EXPECT_EQ(0, cb.Count(Ev::Error));
}

class Events : public LiveTest {};

TEST_F(Events, ConnectFirstAndOneSentPerCycleAllOnTheFrameThread) {
    Recorder cb;
    ConnSetup setup;
    setup.url = Url();
    setup.baseInterval = 40;
    setup.maxInterval = 40;
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    // Past the first, longer sleep (the context starts at the capped 1000 ms).
    ASSERT_TRUE(cb.WaitCount(Ev::Sent, 2, 5000));
    for (int i = 0; i < 5; ++i) {
        conn->Send("ping", 4);
        Pause(150);
    }
    Pause(300);
    conn->Close();
    Pause(200);
    std::vector<Event> ev = cb.Events();
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ(Ev::Connect, ev[0].kind);
    EXPECT_EQ(0, ev[0].code);
    EXPECT_EQ(1, cb.Count(Ev::Connect));
    EXPECT_EQ(0, cb.Count(Ev::Close));
    EXPECT_EQ(0, cb.Count(Ev::Error));
    EXPECT_TRUE(cb.AllOnFrameThread());
    EXPECT_EQ("pingpingpingpingping", cb.Received());
    // Each echo comes as its exchange ends, before that cycle's sent event
    // (so, one message per cycle here, right after the previous one's).
    for (size_t i = 1; i < ev.size(); ++i) {
        if (ev[i].kind == Ev::Data) {
            EXPECT_EQ(Ev::Sent, ev[i - 1].kind) << "event " << i;
        }
    }
    // Idle cycles alternate between asking for a poll and sending it; a
    // cycle that sent a message asks for none. So requests <= sent events.
    int sent = cb.Count(Ev::Sent);
    int requests = int(Log().size());
    EXPECT_GE(sent, requests - 1);
    EXPECT_LE(sent, 2 * requests + 3);
    EXPECT_GE(sent, 10);
}

TEST_F(Events, OneTimeoutAfterTheConnectLimitEvenWhileExchangesSucceed) {
    Recorder cb;
    ConnSetup setup;
    setup.url = Url();
    setup.baseInterval = 40;
    setup.maxInterval = 80;
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    Clock::time_point start = Clock::now();
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 1300, nullptr));
    for (int i = 0; i < 12; ++i) {
        conn->Send("tick", 4);
        Pause(200);
    }
    ASSERT_TRUE(cb.WaitCount(Ev::Timeout, 1, 3000));
    Pause(500);
    EXPECT_EQ(1, cb.Count(Ev::Timeout));
    EXPECT_GE(cb.Received().size(), 20u) << "exchanges did not go on";
    EXPECT_EQ(0, cb.Count(Ev::Error));
    Clock::time_point fired;
    for (const Event& e : cb.Events()) {
        if (e.kind == Ev::Timeout) fired = e.at;
    }
    EXPECT_GE(Ms(fired - start), 1250);
    EXPECT_LE(Ms(fired - start), 1300 + 1500);

    // SetTimeout arms it again.
    Clock::time_point rearmed = Clock::now();
    ASSERT_EQ(0, conn->SetTimeout(300));
    ASSERT_TRUE(cb.WaitCount(Ev::Timeout, 2, 3000));
    for (const Event& e : cb.Events()) {
        if (e.kind == Ev::Timeout) fired = e.at;
    }
    EXPECT_GE(Ms(fired - rearmed), 280);
    Pause(500);
    EXPECT_EQ(2, cb.Count(Ev::Timeout));
    conn->Close();
}

TEST_F(Events, PollIntervalGrowsWhileTheServerHasNothing) {
    Recorder cb;
    ConnSetup setup;
    setup.url = Url();
    setup.baseInterval = 100;
    setup.maxInterval = 700;
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    ASSERT_TRUE(cb.WaitCount(Ev::Sent, 11, 12000));
    conn->Close();
    std::vector<Clock::time_point> sent;
    for (const Event& e : cb.Events()) {
        if (e.kind == Ev::Sent) sent.push_back(e.at);
    }
    ASSERT_GE(sent.size(), 11u);
    // Cycle 2 gets the session (interval back to 100); from then on each
    // poll's empty reply doubles it, capped at 700, and a poll is made every
    // second cycle: the sleeps of cycles 3 to 11.
    const long expected[] = {100, 200, 200, 400, 400, 700, 700, 700, 700};
    for (size_t i = 0; i < sizeof(expected) / sizeof(expected[0]); ++i) {
        long gap = Ms(sent[i + 2] - sent[i + 1]);
        SCOPED_TRACE("cycle " + std::to_string(i + 3) + " gap " + std::to_string(gap));
        EXPECT_GE(gap, expected[i] * 7 / 10);
        EXPECT_LE(gap, expected[i] * 3 / 2 + 150);
    }
    EXPECT_EQ(0, cb.Count(Ev::Error));
}

// Through vemnet-gateway (the Linux build's, a peer of every build) to an
// echo service that ends the conversation after "bye": the extension of the
// session protocol in use, the echo exact and in order, then OnClose.
TEST(Gateway, EchoInOrderThenACleanEnd) {
    int gateway = testing_support::PeerPort("VEMNET_GATEWAY_PORT");
    ASSERT_GT(gateway, 0) << "peer VEMNET_GATEWAY_PORT is not running (run under tests/peers/with-peers.sh)";
    Recorder cb;
    ConnSetup setup;
    setup.url = Wide("http://127.0.0.1:" + std::to_string(gateway) + "/");
    setup.baseInterval = 1000;
    setup.maxInterval = 7000;
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", gateway, 60000, nullptr));
    std::string msg = RandomBytes(300000, 9);
    for (size_t at = 0; at < msg.size(); at += 30000) ASSERT_EQ(0, conn->Send(msg.data() + at, 30000));
    ASSERT_EQ(0, conn->Send("bye", 3));
    ASSERT_TRUE(cb.WaitCount(Ev::Close, 1, 30000)) << "got " << cb.Received().size() << " bytes";
    EXPECT_TRUE(msg + "bye" == cb.Received()) << "echo differs";
    EXPECT_EQ(0, cb.Count(Ev::Error));
    EXPECT_EQ(Ev::Close, cb.Events().back().kind);
    EXPECT_TRUE(cb.AllOnFrameThread());
}
