// Failed exchanges and proxies.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include <boost/weak_ptr.hpp>

#include "http/http_net_conn.h"
#include "http/http_net_context.h"
#include "tests/http_live/live_support.h"
#include "tests/support/wine.h"

using namespace http_live;
using VemNetwork::HttpNetConn;
using VemNetwork::HttpNetContext;
using VemNetwork::IHttpConn;
using VemNetwork::ProxyInfo;

namespace {

void Pause(int ms) {
    testing_support::WaitFor([] { return false; }, ms);
}

// Shortens the exchange's time limits for one test.
class ExchangeTimeouts {
public:
    explicit ExchangeTimeouts(int ms)
        : connect_(HttpNetContext::connectTimeoutMs.exchange(ms)), send_(HttpNetContext::sendTimeoutMs.exchange(ms)) {}
    ~ExchangeTimeouts() {
        HttpNetContext::connectTimeoutMs.store(connect_);
        HttpNetContext::sendTimeoutMs.store(send_);
    }

private:
    int connect_;
    int send_;
};

// Waits for the first error; expects OnConnect(0) before it and the worker
// to be stopped afterwards.
void ExpectStoppedWithError(Recorder& cb, IHttpConn* conn, int code) {
    ASSERT_TRUE(cb.WaitCount(Ev::Error, 1, 8000));
    std::vector<Event> ev = cb.Events();
    ASSERT_GE(ev.size(), 2u);
    EXPECT_EQ(Ev::Connect, ev[0].kind);
    EXPECT_EQ(0, ev[0].code);
    int errorCode = -1;
    for (const Event& e : ev) {
        if (e.kind == Ev::Error) {
            errorCode = e.code;
            break;
        }
    }
    EXPECT_EQ(code, errorCode);
    EXPECT_FALSE(conn->IsConnected());
    EXPECT_EQ(3, conn->Send("x", 1)) << "the worker should have stopped";
}

}  // namespace

class Failure : public LiveTest, public ::testing::WithParamInterface<int> {};

TEST_P(Failure, StatusOtherThan200GivesOneError6AndStops) {
    int status = GetParam();
    std::string before = "/status/" + std::to_string(status);
    Recorder cb;
    ConnSetup setup;
    setup.url = Url(before);
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    // Queued together: the first failure stops the worker, the rest are not
    // sent to the failed server.
    for (int i = 0; i < 12; ++i) {
        if (conn->Send("queued", 6) != 0) break;
    }
    ExpectStoppedWithError(cb, conn.get(), 6);
    Pause(300);
    size_t requests = Log(before).size();
    EXPECT_EQ(1u, requests);
    Pause(700);
    EXPECT_EQ(requests, Log(before).size()) << "a stopped worker went on polling";
    EXPECT_EQ(1, cb.Count(Ev::Error));
}

INSTANTIATE_TEST_SUITE_P(Statuses, Failure, ::testing::Values(404, 500));

class Failures : public LiveTest {
protected:
    // Connects to this test's path after `before`, and waits for a first
    // echo: the session is set up and the connection works.
    std::unique_ptr<IHttpConn> ConnectAndEcho(Recorder& cb, const std::string& before) {
        ConnSetup setup;
        setup.url = Url(before);
        std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
        EXPECT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
        EXPECT_EQ(0, conn->Send("x", 1));
        EXPECT_TRUE(cb.WaitReceived(1, 10000));
        return conn;
    }
};

TEST_F(Failures, ReplyBeforeAFailureInTheSameCycleReachesTheHost) {
    Recorder cb;
    std::unique_ptr<IHttpConn> conn = ConnectAndEcho(cb, "/fail-on/fail");
    ASSERT_EQ(0, conn->Send("hello", 5));
    ASSERT_EQ(0, conn->Send("fail", 4));
    ExpectStoppedWithError(cb, conn.get(), 6);
    Pause(300);
    EXPECT_EQ("xhello", cb.Received());
    std::vector<Event> ev = cb.Events();
    size_t lastData = 0, error = 0;
    for (size_t i = 0; i < ev.size(); ++i) {
        if (ev[i].kind == Ev::Data) lastData = i;
        if (ev[i].kind == Ev::Error && !error) error = i;
    }
    EXPECT_LT(lastData, error) << "the data came after the error";
    EXPECT_EQ(1, cb.Count(Ev::Error));
}

TEST_F(Failures, RedirectIsError6AndNotFollowed) {
    Recorder cb;
    ConnSetup setup;
    setup.url = Url("/redirect");
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    ASSERT_EQ(0, conn->Send("moved", 5));
    ExpectStoppedWithError(cb, conn.get(), 6);
    Pause(300);
    EXPECT_EQ(1u, Log("/redirect").size());
    EXPECT_TRUE(Log().empty()) << "the redirect was followed";
}

TEST_F(Failures, HandleThatCannotOpenIsReportedOncePerCycle) {
    // No server name: the connection handle cannot be opened, every
    // exchange fails with 2 and the worker goes on.
    Recorder cb;
    ConnSetup setup;
    setup.url = Url();
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"", port, 60000, nullptr));
    ASSERT_TRUE(cb.WaitCount(Ev::Sent, 1, 5000));
    for (int i = 0; i < 6; ++i) ASSERT_EQ(0, conn->Send("queued", 6));
    ASSERT_TRUE(cb.WaitCount(Ev::Error, 1, 5000));
    ASSERT_TRUE(cb.WaitCount(Ev::Sent, cb.Count(Ev::Sent) + 3, 5000));
    conn->Close();
    int errorsInCycle = 0;
    for (const Event& e : cb.Events()) {
        if (e.kind == Ev::Sent) errorsInCycle = 0;
        if (e.kind == Ev::Error) {
            EXPECT_EQ(2, e.code);
            EXPECT_LE(++errorsInCycle, 1) << "more than one error in one cycle";
        }
    }
}

TEST_F(Failures, ReplyCutShortIsAnErrorNotData) {
    // Every reply declares its length and stops half way.
    Recorder cb;
    ConnSetup setup;
    setup.url = Url("/cut");
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    ASSERT_EQ(0, conn->Send("0123456789", 10));
    ExpectStoppedWithError(cb, conn.get(), 11);
    Pause(300);
    EXPECT_EQ(0, cb.Count(Ev::Data));
    EXPECT_EQ(1, cb.Count(Ev::Error));
}

TEST_F(Failures, CloseWithoutReplyIsError11) {
    Recorder cb;
    std::unique_ptr<IHttpConn> conn = ConnectAndEcho(cb, "/hangup-on/bye");
    ASSERT_EQ(0, conn->Send("bye", 3));
    ExpectStoppedWithError(cb, conn.get(), 11);
    Pause(300);
    EXPECT_EQ(1, cb.Count(Ev::Error));
}

TEST_F(Failures, ServerTooSlowGivesError4) {
    ExchangeTimeouts limit(700);
    Recorder cb;
    ConnSetup setup;
    setup.url = Url("/slow/2500");
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    // Wine's WinInet ends a reply that does not come in time with 12030
    // (connection aborted) rather than 12002 (timed out), which is error 11.
    ExpectStoppedWithError(cb, conn.get(), testing_support::RunningUnderWine() ? 11 : 4);
}

TEST_F(Failures, SlowButInTimeServerIsFine) {
    ExchangeTimeouts limit(3000);
    Recorder cb;
    ConnSetup setup;
    setup.url = Url("/slow/300");
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    ASSERT_EQ(0, conn->Send("late", 4));
    ASSERT_TRUE(cb.WaitReceived(4, 10000));
    EXPECT_EQ(0, cb.Count(Ev::Error));
}

TEST_F(Failures, NothingListeningGivesConnectThenError11) {
    int closed = ClosedPort();
    ASSERT_GT(closed, 0);
    Recorder cb;
    ConnSetup setup;
    setup.url = Wide("http://127.0.0.1:" + std::to_string(closed) + prefix);
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", closed, 60000, nullptr));
    ExpectStoppedWithError(cb, conn.get(), 11);
}

TEST_F(Failures, TaskThatThrowsIsReportedAsError11AndStopsTheWorker) {
    Recorder cb;
    ConnSetup setup;
    setup.url = Url();
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    ASSERT_TRUE(cb.WaitCount(Ev::Connect, 1, 5000));
    boost::shared_ptr<HttpNetContext> context = static_cast<HttpNetConn*>(conn.get())->Context();
    ASSERT_TRUE(context);
    context->PushTask(L"senddata", [] { throw std::runtime_error("allocation failed"); });
    ExpectStoppedWithError(cb, conn.get(), 11);
}

class Proxy : public LiveTest {};

TEST_F(Proxy, SquidWithCredentialsCarriesTheExchanges) {
    REQUIRE_PEER_PORT(squid, "VEMNET_SQUID_BASIC_PORT");
    ProxyInfo proxy;
    proxy.type = 4;
    proxy.host = L"127.0.0.1";
    proxy.port = squid;
    proxy.user = Wide(testing_support::PeerValue("VEMNET_PROXY_USER"));
    proxy.password = Wide(testing_support::PeerValue("VEMNET_PROXY_PASSWORD"));
    ASSERT_FALSE(proxy.user.empty());
    Recorder cb;
    ConnSetup setup;
    setup.url = UrlViaName();
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"localhost", port, 60000, &proxy));
    std::string msg = RandomBytes(20000, 3);
    ASSERT_EQ(0, conn->Send(msg.data(), int(msg.size())));
    ASSERT_TRUE(cb.WaitReceived(msg.size(), 15000)) << "errors: " << cb.Count(Ev::Error);
    EXPECT_TRUE(cb.Received() == msg);
    EXPECT_EQ(0, cb.Count(Ev::Error));
    conn->Close();
    std::vector<LoggedRequest> log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(0u, log[0].body.find("session=&data=")) << "the first request opens the session";
    EXPECT_EQ("application/x-www-form-urlencoded", log[0].Header("Content-Type"));
}

TEST_F(Proxy, SquidWithoutCredentialsGivesError6) {
    REQUIRE_PEER_PORT(squid, "VEMNET_SQUID_BASIC_PORT");
    ProxyInfo proxy;
    proxy.type = 4;
    proxy.host = L"127.0.0.1";
    proxy.port = squid;
    Recorder cb;
    ConnSetup setup;
    setup.url = UrlViaName();
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"localhost", port, 60000, &proxy));
    ExpectStoppedWithError(cb, conn.get(), 6);
    EXPECT_TRUE(Log().empty()) << "the request passed the proxy without credentials";
}

TEST_F(Proxy, SquidWithWrongPasswordGivesError6) {
    REQUIRE_PEER_PORT(squid, "VEMNET_SQUID_BASIC_PORT");
    ProxyInfo proxy;
    proxy.type = 4;
    proxy.host = L"127.0.0.1";
    proxy.port = squid;
    proxy.user = Wide(testing_support::PeerValue("VEMNET_PROXY_USER"));
    proxy.password = L"not-the-password";
    Recorder cb;
    ConnSetup setup;
    setup.url = UrlViaName();
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"localhost", port, 60000, &proxy));
    ExpectStoppedWithError(cb, conn.get(), 6);
}

TEST_F(Proxy, Socks4aProxyCarriesTheExchanges) {
    REQUIRE_PEER_PORT(socks, "VEMNET_SOCKS4A_PORT");
    ProxyInfo proxy;
    proxy.type = 1;
    proxy.host = L"127.0.0.1";
    proxy.port = socks;
    Recorder cb;
    ConnSetup setup;
    setup.url = UrlViaName();
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"localhost", port, 60000, &proxy));
    ASSERT_EQ(0, conn->Send("through socks", 13));
    ASSERT_TRUE(cb.WaitReceived(13, 15000)) << "errors: " << cb.Count(Ev::Error);
    EXPECT_EQ("through socks", cb.Received());
}

// A SOCKS5 record is spoken as SOCKS5 where the system's HTTP client can
// (libcurl), and refused as an unsupported kind where it cannot (WinInet).
TEST_F(Proxy, Socks5ProxyIsSpokenAsSocks5OrRefused) {
    REQUIRE_PEER_PORT(socks, "VEMNET_MICROSOCKS_PORT");
    ProxyInfo proxy;
    proxy.type = 3;
    proxy.host = L"127.0.0.1";
    proxy.port = socks;
    Recorder cb;
    ConnSetup setup;
    setup.url = UrlViaName();
    std::unique_ptr<IHttpConn> conn(MakeConn(&cb, setup));
    ASSERT_EQ(0, conn->Connect(L"localhost", port, 60000, &proxy));
    if (!plat::HttpClient::SpeaksSocks5()) {
        ASSERT_TRUE(cb.WaitCount(Ev::Connect, 1, 5000));
        EXPECT_EQ(5, cb.Events()[0].code);
        EXPECT_EQ(3, conn->Send("x", 1));
        return;
    }
    ASSERT_EQ(0, conn->Send("through socks5", 14));
    ASSERT_TRUE(cb.WaitReceived(14, 15000)) << "errors: " << cb.Count(Ev::Error);
    EXPECT_EQ("through socks5", cb.Received());
}

// A deleted connection lets its exchange go at once: the worker, and with
// it the context, do not wait for a server that does not answer.
TEST_F(Failures, DeletedConnectionAbandonsItsExchangeAtOnce) {
    // Windows cancels a synchronous WinInet call when its handle is closed;
    // wine's WinInet finishes the call first.
    if (testing_support::RunningUnderWine()) GTEST_SKIP() << "wine's WinInet does not cancel a request on close";
    Recorder cb;
    ConnSetup setup;
    setup.url = Url("/slow/8000");
    std::unique_ptr<HttpNetConn> conn(static_cast<HttpNetConn*>(MakeConn(&cb, setup)));
    auto logged = [&] { return Log("/slow/8000"); };
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", port, 60000, nullptr));
    ASSERT_EQ(0, conn->Send("first", 5));
    ASSERT_EQ(0, conn->Send("queued", 6));
    // The first exchange is with the server, which sleeps on it.
    ASSERT_TRUE(testing_support::WaitFor([&] { return !logged().empty(); }, 5000));
    boost::weak_ptr<HttpNetContext> context = conn->Context();
    conn.reset();
    EXPECT_TRUE(testing_support::WaitFor([&] { return context.expired(); }, 3000))
        << "the worker still waits for the reply";
    EXPECT_EQ(1u, logged().size()) << "a queued message went out after the delete";
}

