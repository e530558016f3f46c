// What goes on the wire, and the connection's life cycle, against the
// session server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "http/http_net_conn.h"
#include "tests/http_live/live_support.h"

using namespace http_live;
using VemNetwork::IHttpConn;

namespace {

const std::string kForm = "application/x-www-form-urlencoded";

}  // namespace

class Wire : public LiveTest {};

TEST_F(Wire, FirstBodyHasEmptySessionLaterBodiesCarryIt) {
    Recorder cb;
    std::string m57 = RandomBytes(57, 11);
    std::string m58 = RandomBytes(58, 12);
    IHttpConn* conn = nullptr;
    // Sent from the connected event, so it is queued ahead of the first poll.
    cb.after = [&](Ev kind) {
        if (kind == Ev::Connect) conn->Send(m57.data(), int(m57.size()));
    };
    VemNetwork::IHttpConn* made = nullptr;
    std::map<std::wstring, std::wstring> params{{L"param", L"ignored-param"}};
    CreateHttpConn(&made, &cb, Url("", "?query=notsent&x=1"), L"POST", 30, 100,
                   L"X-Vemnet-Test: wire\r\nX-Second: 2\r\n", params, std::string("IGNORED-DATA"), nullptr);
    conn = made;
    std::unique_ptr<IHttpConn> owner(conn);
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    ASSERT_TRUE(cb.WaitReceived(57, 10000));
    ASSERT_EQ(0, conn->Send(m58.data(), int(m58.size())));
    ASSERT_TRUE(cb.WaitReceived(57 + 58, 10000));
    EXPECT_EQ(m57 + m58, cb.Received());
    conn->Close();

    std::vector<LoggedRequest> log = Log();
    ASSERT_GE(log.size(), 3u);

    const LoggedRequest& first = log[0];
    EXPECT_EQ("POST", first.method);
    EXPECT_EQ(prefix, first.path);   // the query stays behind
    const std::string head = "session=&data=";
    ASSERT_EQ(head.size() + 76 + 2, first.body.size()) << first.body;
    EXPECT_EQ(0u, first.body.compare(0, head.size(), head));
    EXPECT_EQ("\r\n", first.body.substr(first.body.size() - 2));
    EXPECT_EQ(m57, BodyData(first.body));

    std::string sid;
    BodyData(log[1].body, &sid);
    ASSERT_FALSE(sid.empty());
    bool saw58 = false;
    for (size_t i = 0; i < log.size(); ++i) {
        const LoggedRequest& r = log[i];
        SCOPED_TRACE("request " + std::to_string(i));
        EXPECT_EQ("POST", r.method);
        EXPECT_EQ(prefix, r.path);
        EXPECT_EQ(kForm, r.Header("Content-Type"));
        EXPECT_EQ("wire", r.Header("X-Vemnet-Test"));
        EXPECT_EQ("2", r.Header("X-Second"));
        EXPECT_EQ(std::to_string(r.body.size()), r.Header("Content-Length"));
        EXPECT_EQ("VemNetwork", r.Header("User-Agent"));
        EXPECT_EQ(std::string::npos, r.body.find("IGNORED")) << "SetData reached the wire";
        EXPECT_EQ(std::string::npos, r.body.find("ignored-param")) << "AddParam reached the wire";
        if (i == 0) continue;
        std::string s;
        std::string data = BodyData(r.body, &s);
        EXPECT_EQ(sid, s);
        if (data.empty()) {
            EXPECT_EQ("session=" + sid + "&data=", r.body);
        } else if (data == m58) {
            saw58 = true;
            std::string b64 = r.body.substr(("session=" + sid + "&data=").size());
            ASSERT_EQ(76u + 2 + 4, b64.size());
            EXPECT_EQ("\r\n", b64.substr(76, 2));
        } else {
            ADD_FAILURE() << "unexpected data in request " << i;
        }
    }
    EXPECT_TRUE(saw58);
}

TEST_F(Wire, ConfiguredVerbAndShortMessages) {
    Recorder cb;
    ConnSetup setup;
    setup.url = Url();
    setup.verb = L"PUT";
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    std::string all;
    for (int n = 1; n <= 4; ++n) {
        std::string m = RandomBytes(size_t(n), unsigned(n));
        all += m;
        ASSERT_EQ(0, conn->Send(m.data(), n));
    }
    ASSERT_TRUE(cb.WaitReceived(all.size(), 10000));
    EXPECT_EQ(all, cb.Received());
    conn->Close();
    std::vector<LoggedRequest> log = Log();
    ASSERT_FALSE(log.empty());
    std::vector<size_t> lengths;
    for (const LoggedRequest& r : log) {
        EXPECT_EQ("PUT", r.method);
        std::string s;
        std::string data = BodyData(r.body, &s);
        if (!data.empty()) lengths.push_back(r.body.size() - ("session=" + s + "&data=").size());
    }
    EXPECT_EQ((std::vector<size_t>{4, 4, 4, 8}), lengths);
}

class Lifecycle : public LiveTest {};

TEST_F(Lifecycle, SendNeedsARunningContext) {
    Recorder cb;
    ConnSetup setup;
    setup.url = Url();
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    EXPECT_EQ(3, conn->Send("x", 1));
    EXPECT_EQ(3, conn->SetTimeout(100));
    EXPECT_FALSE(conn->IsConnected());
    EXPECT_EQ(2, conn->Connect(L"127.0.0.1", 65536 + port, 60000, nullptr)) << "a port beyond 16 bits";
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    EXPECT_EQ(0, conn->Send("x", 1));
    EXPECT_EQ(0, conn->Send(nullptr, 0));   // a poll
    EXPECT_EQ(0, conn->Send(nullptr, 5));   // no bytes: an empty message, as for TCP
    EXPECT_EQ(1, conn->Send("x", -1));
    EXPECT_EQ(0, conn->SetTimeout(60000));
    ASSERT_TRUE(cb.WaitCount(Ev::Connect, 1, 5000));
    EXPECT_TRUE(conn->IsConnected());
    ASSERT_TRUE(cb.WaitReceived(1, 10000));
    conn->Close();
    EXPECT_FALSE(conn->IsConnected());
    EXPECT_EQ(3, conn->Send("y", 1));
    EXPECT_EQ(3, conn->SetTimeout(100));
    EXPECT_EQ(0, cb.Count(Ev::Close));
    EXPECT_EQ(0, cb.Count(Ev::Error));
}

TEST_F(Lifecycle, NoEventAfterCloseAndTheLastMessageStillGoesOut) {
    Recorder cb;
    ConnSetup setup;
    setup.url = Url();
    setup.baseInterval = 300;
    setup.maxInterval = 300;
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    ASSERT_TRUE(cb.WaitCount(Ev::Connect, 1, 5000));
    ASSERT_TRUE(testing_support::WaitFor([&] { return Log().size() >= 1; }, 5000));
    std::string last = "last words before close";
    ASSERT_EQ(0, conn->Send(last.data(), int(last.size())));
    conn->Close();
    size_t events = cb.Events().size();
    bool sent = testing_support::WaitFor(
        [&] {
            for (const LoggedRequest& r : Log()) {
                if (BodyData(r.body) == last) return true;
            }
            return false;
        },
        5000);
    EXPECT_TRUE(sent) << "the worker's final drain did not send the queued message";
    testing_support::WaitFor([] { return false; }, 700);
    EXPECT_EQ(events, cb.Events().size()) << "an event reached the host after Close";
}

// Connect does its work and returns: from a callback (the frame's thread)
// it holds up no other connection.
TEST_F(Lifecycle, ConnectFromACallbackReturnsAtOnce) {
    Recorder first, second;
    ConnSetup setup;
    setup.url = Url();
    std::unique_ptr<IHttpConn> conn(MakeConn(&first, setup));
    std::unique_ptr<IHttpConn> other(MakeConn(&second, setup));
    std::atomic<long long> tookMs(-1);
    first.after = [&](Ev kind) {
        if (kind != Ev::Connect || tookMs >= 0) return;
        const auto start = Clock::now();
        for (int i = 0; i < 20; ++i) EXPECT_EQ(0, other->Connect(L"127.0.0.1", port, 60000, nullptr));
        tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    };
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    ASSERT_TRUE(testing_support::WaitFor([&] { return tookMs >= 0; }, 10000));
    // Each Connect used to sleep 100 ms.
    EXPECT_LT(tookMs.load(), 1000);
    ASSERT_TRUE(second.WaitCount(Ev::Connect, 1, 5000));
}

// A message larger than one request may carry goes in pieces, in order.
TEST_F(Lifecycle, LargeMessageGoesInPiecesWithinTheBodyLimit) {
    Recorder cb;
    ConnSetup setup;
    setup.url = Url();
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    const std::string big = RandomBytes(300000, 7);
    ASSERT_EQ(0, conn->Send(big.data(), int(big.size())));
    ASSERT_TRUE(cb.WaitReceived(big.size(), 20000)) << "errors: " << cb.Count(Ev::Error);
    EXPECT_TRUE(cb.Received() == big);
    int pieces = 0;
    for (const LoggedRequest& r : Log()) {
        EXPECT_LE(r.body.size(), 131072u);
        pieces += !BodyData(r.body).empty();
    }
    EXPECT_EQ(4, pieces);
}

TEST_F(Lifecycle, ConnectAgainStartsANewSession) {
    Recorder cb;
    ConnSetup setup;
    setup.url = Url();
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    ASSERT_EQ(0, conn->Send("one", 3));
    ASSERT_TRUE(cb.WaitReceived(3, 10000));
    size_t before = Log().size();
    std::string oldSid;
    BodyData(Log().back().body, &oldSid);
    ASSERT_FALSE(oldSid.empty());

    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    ASSERT_EQ(0, conn->Send("two", 3));
    ASSERT_TRUE(cb.WaitReceived(6, 10000));
    EXPECT_EQ("onetwo", cb.Received());
    EXPECT_EQ(2, cb.Count(Ev::Connect));
    // Let the old worker finish the cycle it was in.
    testing_support::WaitFor([] { return false; }, 600);
    size_t settled = Log().size();
    testing_support::WaitFor([] { return false; }, 500);
    std::vector<LoggedRequest> log = Log();
    ASSERT_GT(log.size(), before);

    bool freshStart = false;
    std::string newSid;
    for (size_t i = before; i < log.size(); ++i) {
        std::string s;
        BodyData(log[i].body, &s);
        if (s.empty()) freshStart = true;
        if (!s.empty() && s != oldSid) newSid = s;
        if (i >= settled) {
            EXPECT_NE(oldSid, s) << "the old worker still polls";
        }
    }
    EXPECT_TRUE(freshStart);
    EXPECT_FALSE(newSid.empty());
    conn->Close();
}
