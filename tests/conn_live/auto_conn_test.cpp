// CreateAutoConn's climb against real peers: direct targets of the test's
// own, and the vemnet-gateway (in front of an echo service) that
// tests/peers/with-peers.sh starts.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "conn/auto_net_conn.h"
#include "frame/sockethelper.h"
#include "tests/conn/conn_harness.h"
#include "tests/support/peer_env.h"
#include "tests/support/socket_helpers.h"

using namespace conn_harness;
using VemNetwork::AutoNetConn;
using VemNetwork::RouteStep;
using testing_support::RawListener;

namespace {

const int kClimbMs = 15000;

std::wstring GatewayUrl(int port) {
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    return std::wstring(url.begin(), url.end());
}

ConnPtr MakeAuto(Recorder* host, const std::wstring& url, VemNetwork::INetCodec* codec = nullptr) {
    VemNetwork::INetConn* c = nullptr;
    EXPECT_EQ(&c, CreateAutoConn(&c, host, codec, url.c_str()));
    return ConnPtr(c);
}

AutoNetConn* Auto(const ConnPtr& conn) { return static_cast<AutoNetConn*>(conn.get()); }

bool WonBy(const ConnPtr& conn, RouteStep expected) {
    RouteStep step = RouteStep::Direct;
    return Auto(conn)->Winner(&step) && step == expected;
}

// Bytes sent before the climb ended come first, then an echo both ways.
void ExpectEcho(VemNetwork::INetConn* conn, Recorder& host, const std::string& early) {
    std::string payload = Pattern(100000, 5);
    ASSERT_TRUE(SendAllOf(conn, payload));
    ASSERT_TRUE(host.WaitData(early.size() + payload.size(), 20000)) << host.Data().size() << " bytes";
    EXPECT_TRUE(host.Data() == early + payload) << "the echo differs";
}

// Each case starts with nothing remembered: a port handed out again must
// not find an earlier case's winner.
class AutoConn : public ::testing::Test {
protected:
    void SetUp() override { VemNetwork::ForgetRoutes(); }
};

}  // namespace

TEST_F(AutoConn, DirectWinsAndTheGatewayHearsNothing) {
    TestServer echo;
    RawListener gateway;
    Recorder host;
    ConnPtr conn = MakeAuto(&host, GatewayUrl(gateway.port()));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", echo.port(), kClimbMs, nullptr));
    ASSERT_TRUE(host.WaitOutcome(kClimbMs));
    ASSERT_EQ("C0", host.Outcomes());
    EXPECT_TRUE(WonBy(conn, RouteStep::Direct));
    ASSERT_NO_FATAL_FAILURE(ExpectEcho(conn.get(), host, ""));
    // The HTTP step would have started AutoNetConn::kStepDelayMs after direct.
    plat::socket_t request = gateway.Accept(3 * AutoNetConn::kStepDelayMs);
    EXPECT_EQ(plat::kInvalidSocket, request) << "a request reached the gateway";
    if (request != plat::kInvalidSocket) plat::CloseSocket(request);
}

// The target refuses and no proxy is set: the gateway carries the
// connection, and the next connection to that target starts there.
TEST_F(AutoConn, RefusedDirectGoesOverHttpAndHttpGoesFirstNextTime) {
    REQUIRE_PEER_PORT(gateway, "VEMNET_GATEWAY_PORT");
    const int target = DeadPort();
    {
        // The echo comes back as sent only when every byte, the early ones
        // too, went through the codec once each way.
        XorCodec codec;
        Recorder host;
        ConnPtr conn = MakeAuto(&host, GatewayUrl(gateway), &codec);
        ASSERT_EQ(0, conn->Connect(L"127.0.0.1", target, kClimbMs, nullptr));
        ASSERT_EQ(0, conn->Send("early", 5));
        ASSERT_TRUE(host.WaitOutcome(kClimbMs));
        ASSERT_EQ("C0", host.Outcomes());
        EXPECT_TRUE(WonBy(conn, RouteStep::Http));
        EXPECT_EQ(RouteStep::Direct, Auto(conn)->FirstStep());
        ASSERT_NO_FATAL_FAILURE(ExpectEcho(conn.get(), host, "early"));
    }
    Recorder host;
    ConnPtr conn = MakeAuto(&host, GatewayUrl(gateway));
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", target, kClimbMs, nullptr));
    ASSERT_TRUE(host.WaitOutcome(kClimbMs));
    ASSERT_EQ("C0", host.Outcomes());
    EXPECT_EQ(RouteStep::Http, Auto(conn)->FirstStep());
}

TEST_F(AutoConn, SilentDirectIsPassedWellWithinTheTimeout) {
    REQUIRE_PEER_PORT(gateway, "VEMNET_GATEWAY_PORT");
    RawListener silent(0);
    std::vector<plat::socket_t> fillers;
    testing_support::FillAcceptQueue(IPv4Address(testing_support::LoopbackIp()), silent.port(), &fillers);
    Recorder host;
    ConnPtr conn = MakeAuto(&host, GatewayUrl(gateway));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", silent.port(), kClimbMs, nullptr));
    ASSERT_TRUE(host.WaitOutcome(kClimbMs));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    ASSERT_EQ("C0", host.Outcomes());
    EXPECT_TRUE(WonBy(conn, RouteStep::Http));
    EXPECT_LT(took.count(), kClimbMs / 2);
    ASSERT_NO_FATAL_FAILURE(ExpectEcho(conn.get(), host, ""));
    for (plat::socket_t f : fillers) plat::CloseSocket(f);
}

TEST_F(AutoConn, FailedProxyThenHttp) {
    REQUIRE_PEER_PORT(gateway, "VEMNET_GATEWAY_PORT");
    // The proxy accepts the connection and refuses the tunnel.
    TestServer proxy(HttpProxyScript([](int, const std::string&) {
        return std::string("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
    }));
    Recorder host;
    ConnPtr conn = MakeAuto(&host, GatewayUrl(gateway));
    VemNetwork::ProxyInfo record = Proxy(VemNetwork::PROXY_HTTP, proxy.port());
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", DeadPort(), kClimbMs, &record));
    ASSERT_TRUE(host.WaitOutcome(kClimbMs));
    ASSERT_EQ("C0", host.Outcomes());
    EXPECT_TRUE(WonBy(conn, RouteStep::Http));
    EXPECT_TRUE(proxy.WaitConnections(1));
    ASSERT_NO_FATAL_FAILURE(ExpectEcho(conn.get(), host, ""));
}

// Every way fails: one OnConnect, 6 when a proxy was there but refused,
// else 4 (a gateway that is not there counts as failed, not as connected).
TEST_F(AutoConn, EveryWayFailsWithOneEvent) {
    TestServer proxy(HttpProxyScript([](int, const std::string&) {
        return std::string("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"x\"\r\n"
                           "Content-Length: 0\r\n\r\n");
    }));
    for (bool refusing : {true, false}) {
        SCOPED_TRACE(refusing ? "the proxy refuses" : "no proxy or gateway listens");
        Recorder host;
        ConnPtr conn = MakeAuto(&host, refusing ? L"" : GatewayUrl(DeadPort()));
        VemNetwork::ProxyInfo record = Proxy(VemNetwork::PROXY_HTTP, refusing ? proxy.port() : DeadPort());
        ASSERT_EQ(0, conn->Connect(L"127.0.0.1", DeadPort(), kClimbMs, &record));
        ASSERT_TRUE(host.WaitOutcome(kClimbMs));
        EXPECT_EQ(refusing ? "C6" : "C4", host.Outcomes());
    }
}

TEST_F(AutoConn, TheHostMayDeleteItInsideOnConnect) {
    TestServer echo;
    Recorder host;
    ConnPtr conn = MakeAuto(&host, L"");
    host.onConnect = [&](int) { conn.reset(); };
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", echo.port(), kClimbMs, nullptr));
    ASSERT_TRUE(host.WaitOutcome(kClimbMs));
    EXPECT_EQ("C0", host.Outcomes());
    EXPECT_TRUE(echo.WaitConnections(1));
}
