// TcpNetConn through the real proxies that tests/peers/with-peers.sh starts:
// squid (none, Basic, NTLM, both, Digest, Negotiate, all three), tinyproxy (Basic), microsocks and dante
// (SOCKS5 with and without user/password) and ssh -D (SOCKS4a). The target is
// an echo server of the test's own on 127.0.0.1.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "conn/route/failed_proxies.h"
#include "conn/route/system_proxy.h"
#include "frame/default_frame.h"
#include "frame/sockethelper.h"
#include "tests/conn/conn_harness.h"
#include "tests/support/peer_env.h"
#include "tests/support/proxy_script.h"
#include "tests/support/raw_sockets.h"
#include "tests/support/socket_helpers.h"
#include "tests/support/wine.h"

using namespace conn_harness;
using VemNetwork::ProxyInfo;

namespace {

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }
std::wstring User() { return Wide(testing_support::PeerValue("VEMNET_PROXY_USER", "vemuser")); }
std::wstring Password() { return Wide(testing_support::PeerValue("VEMNET_PROXY_PASSWORD", "vempass")); }

// Connects through proxy to a fresh echo server and checks the whole way:
// the bytes sent during the handshake come first, then a large
// payload both ways, byte for byte, through the codec when there is one.
void ExpectTunnel(ProxyInfo proxy, bool withCodec) {
    SCOPED_TRACE(withCodec ? "with codec" : "without codec");
    TestServer echo;
    Recorder host;
    XorCodec codec(0x6b);
    ConnPtr conn = MakeConn(&host, withCodec ? &codec : nullptr);
    {
        // The frame cannot move the handshake on while this is held: the
        // Send surely falls into it.
        FrameGuard guard(GetDefaultFrame());
        ASSERT_EQ(0, conn->Connect(L"127.0.0.1", echo.port(), 8000, &proxy));
        ASSERT_EQ(0, conn->Send("early bytes", 11));
        EXPECT_FALSE(conn->IsConnected());
    }
    ASSERT_TRUE(host.WaitOutcome(10000));
    ASSERT_EQ("C0", host.Outcomes());
    EXPECT_TRUE(conn->IsConnected());

    std::string payload = Pattern(300000, 17);
    ASSERT_TRUE(SendAllOf(conn.get(), payload));
    std::string early = "early bytes";
    // Every byte goes through the codec, the held-back ones included.
    std::string wire = withCodec ? codec.Apply(early + payload) : early + payload;
    ASSERT_TRUE(echo.WaitReceived(0, wire.size(), 20000));
    EXPECT_TRUE(echo.Received(0) == wire);
    std::string back = early + payload;
    ASSERT_TRUE(host.WaitData(back.size(), 20000));
    EXPECT_TRUE(host.Data() == back);
    EXPECT_EQ(1, echo.Connections());
    EXPECT_EQ("C0", host.Outcomes());
}

// A handshake that must end in OnError(6), with nothing reaching the target.
void ExpectHandshakeFailure(ProxyInfo proxy) {
    TestServer echo;
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    {
        // A refusal may come fast: keep it from overtaking the Send.
        FrameGuard guard(GetDefaultFrame());
        ASSERT_EQ(0, conn->Connect(L"127.0.0.1", echo.port(), 8000, &proxy));
        ASSERT_EQ(0, conn->Send("never", 5));
    }
    ASSERT_TRUE(host.WaitOutcome(10000));
    EXPECT_EQ("E6", host.Outcomes());
    EXPECT_FALSE(conn->IsConnected());
    EXPECT_EQ("", echo.Received(0));
}

// A target that greets the moment it accepts (SSH, SMTP, FTP): its first
// bytes may arrive in the same read as the proxy's reply, and must reach the
// host all the same, in order.
void ExpectServerSpeaksFirst(ProxyInfo proxy) {
    const std::string greeting = "220 target ready\r\n";
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        TestServer target;
        target.SetGreeting(greeting);
        Recorder host;
        ConnPtr conn = MakeConn(&host);
        ASSERT_EQ(0, conn->Connect(L"127.0.0.1", target.port(), 8000, &proxy));
        ASSERT_TRUE(host.WaitData(greeting.size(), 10000)) << host.Outcomes();
        EXPECT_EQ("C0", host.Outcomes());
        EXPECT_EQ(greeting, host.Data());
    }
}

// Through proxy (or directly) to a listener of the test's on [::1], named
// as target ("::1", "[::1]" or a name): the connection carries bytes both
// ways.
void ExpectIPv6Target(ProxyInfo proxy, const wchar_t* target, bool viaProxy = true) {
    SCOPED_TRACE(testing::Message() << "target " << std::string(target, target + wcslen(target)));
    int port = 0;
    plat::socket_t listener = testing_support::ListenIPv6Loopback(0, 4, &port);
    ASSERT_NE(listener, plat::kInvalidSocket);
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ASSERT_EQ(0, conn->Connect(target, port, 8000, viaProxy ? &proxy : nullptr));
    ASSERT_TRUE(host.WaitOutcome(10000));
    ASSERT_EQ("C0", host.Outcomes());
    plat::socket_t peer = testing_support::AcceptAny(listener);
    ASSERT_NE(peer, plat::kInvalidSocket);
    ASSERT_EQ(0, conn->Send("ping", 4));
    std::string got;
    testing_support::RecvUpTo(peer, &got, 4);
    EXPECT_EQ("ping", got);
    ASSERT_TRUE(testing_support::SendAll(peer, "pong", 4));
    ASSERT_TRUE(host.WaitData(4));
    EXPECT_EQ("pong", host.Data());
    conn.reset();
    plat::CloseSocket(peer);
    plat::CloseSocket(listener);
}

// ---- names of both families ------------------------------------------------

// The names with-peers.sh adds to a private /etc/hosts; never looked up
// without it, where they would go to the machine's resolver.
#define REQUIRE_TEST_NAMES()                                                                   \
    if (testing_support::PeerValue("VEMNET_TEST_NAMES") != "1") {                              \
        FAIL() << "the test names are not in /etc/hosts (run under tests/peers/with-peers.sh as root)"; \
    }

TEST(Names, ANameWithOnlyAnIPv6AddressConnects) {
    REQUIRE_TEST_NAMES();
    ExpectIPv6Target(ProxyInfo(), L"v6only.vemnet.test", false);
}

// dual.vemnet.test is ::1 and 127.0.0.1; 127.0.0.1:P never answers (a full
// accept queue), [::1]:P does: the name's every address is tried.
TEST(Names, EveryAddressOfANameIsTried) {
    REQUIRE_TEST_NAMES();
    int port = 0;
    plat::socket_t listener, full;
    ASSERT_TRUE(testing_support::ListenOnBothLoopbacks(4, 0, &listener, &full, &port));
    std::vector<plat::socket_t> fillers;
    testing_support::FillAcceptQueue(IPv4Address(plat::ParseIPv4("127.0.0.1")), port, &fillers);
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ASSERT_EQ(0, conn->Connect(L"dual.vemnet.test", port, 3000, nullptr));
    ASSERT_TRUE(host.WaitOutcome(10000));
    EXPECT_EQ("C0", host.Outcomes());
    conn.reset();
    for (plat::socket_t f : fillers) plat::CloseSocket(f);
    plat::CloseSocket(full);
    plat::CloseSocket(listener);
}

// ---- squid --------------------------------------------------------------------

TEST(Squid, ConnectWithoutAuthentication) {
    REQUIRE_PEER_PORT(port, "VEMNET_SQUID_PLAIN_PORT");
    ExpectTunnel(Proxy(4, port), false);
    ExpectTunnel(Proxy(4, port), true);
}

TEST(Squid, IPv6LiteralTargetInBrackets) {
    REQUIRE_PEER_PORT(port, "VEMNET_SQUID_PLAIN_PORT");
    ExpectIPv6Target(Proxy(4, port), L"::1");
    ExpectIPv6Target(Proxy(4, port), L"[::1]");
}

// The system setting as an auto-config script gives it, the same answer for
// every target.
std::wstring autoConfigAnswer;
bool AutoConfigAnswer(const std::wstring&, std::wstring* answer) {
    *answer = autoConfigAnswer;
    return true;
}

// Serves a proxy auto-config script that gives answer for every URL.
TestServer::Script ServeScript(const std::string& answer) {
    return [answer](ServerConn& c, const std::string& in) -> size_t {
        if (in.find("\r\n\r\n") == std::string::npos) return 0;
        const std::string body = "function FindProxyForURL(url, host) { return \"" + answer + "\"; }\n";
        c.Send("HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-autoconfig\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        return in.size();
    };
}

std::string ScriptUrl(const TestServer& server) {
    return "http://127.0.0.1:" + std::to_string(server.port()) + "/proxy.pac";
}

// Starts a type-5 connection to a fresh echo server and returns the record
// as the outcome left it (the candidate that carried the connection), the
// outcome, and the record as Connect left it (the candidate tried first).
ProxyInfo SystemConnect(std::string* outcome, ProxyInfo* first = nullptr) {
    TestServer echo;
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p;
    p.type = 5;
    {
        FrameGuard guard(GetDefaultFrame());
        EXPECT_EQ(0, conn->Connect(L"127.0.0.1", echo.port(), 8000, &p));
        if (first) *first = p;
    }
    EXPECT_TRUE(host.WaitOutcome(10000));
    if (host.Outcomes() == "C0") {
        EXPECT_EQ(0, conn->Send("through", 7));
        EXPECT_TRUE(host.WaitData(7, 10000));
    }
    *outcome = host.Outcomes();
    return p;
}

// A script on the loopback, read by the system (libproxy; WinHTTP under
// wine, which hands back only the script's first entry, and only when it is
// a PROXY one).
TEST(Squid, AutoConfigScriptDeadProxyThenSquidAndSquidFirstAfterwards) {
    REQUIRE_PEER_PORT(port, "VEMNET_SQUID_PLAIN_PORT");
    VemNetwork::FailedProxies::OfProcess().Clear();
    VemNetwork::SetProxyAnswerSource(nullptr);
    const bool wine = testing_support::RunningUnderWine();
    const int dead = DeadPort();
    const std::string squid = "PROXY 127.0.0.1:" + std::to_string(port);
    TestServer script(ServeScript(wine ? squid + "; DIRECT"
                                       : "PROXY 127.0.0.1:" + std::to_string(dead) + "; " + squid + "; DIRECT"));
    testing_support::ProxyScriptSetting setting(ScriptUrl(script));
    ASSERT_TRUE(plat::ProxyAutoConfigured()) << "the setting is not read (libproxy1v5 missing?)";
    std::string outcome;
    ProxyInfo first;
    EXPECT_EQ(port, SystemConnect(&outcome, &first).port);
    EXPECT_EQ(wine ? port : dead, first.port);
    EXPECT_EQ("C0", outcome);
    EXPECT_GE(script.Connections(), 1);
    if (wine) return;
    const ProxyInfo second = SystemConnect(&outcome, &first);
    EXPECT_EQ(4, first.type);
    EXPECT_EQ(port, first.port);
    EXPECT_EQ(port, second.port);
    EXPECT_EQ("C0", outcome);
}

// A script server that never answers costs a Connect the limit (libproxy
// itself waits forever); without libproxy the script is not asked at all.
// Either way the static setting (https_proxy here) is used.
TEST(Squid, AutoConfigWithoutAnswerOrWithoutLibproxyEndsInTheStaticSetting) {
    REQUIRE_PEER_PORT(port, "VEMNET_SQUID_PLAIN_PORT");
    if (testing_support::RunningUnderWine()) GTEST_SKIP() << "the static setting under wine is the registry's";
    VemNetwork::FailedProxies::OfProcess().Clear();
    VemNetwork::SetProxyAnswerSource(nullptr);
    TestServer silent(TestServer::Script(), true);
    testing_support::ProxyScriptSetting setting(ScriptUrl(silent), "127.0.0.1:" + std::to_string(port));

    plat::SetProxyAutoConfigModule("libproxy-absent.so.1");
    std::string outcome;
    EXPECT_EQ(port, SystemConnect(&outcome).port);
    EXPECT_EQ("C0", outcome);
    EXPECT_EQ(0, silent.Connections());

    plat::SetProxyAutoConfigModule("");
    ASSERT_TRUE(plat::ProxyAutoConfigured()) << "libproxy1v5 missing?";
    EXPECT_EQ(port, SystemConnect(&outcome).port);
    EXPECT_EQ("C0", outcome);
    EXPECT_EQ(1, silent.Connections());
}

TEST(Squid, AnAuthenticationRefusalIsNotRememberedAsAFailure) {
    REQUIRE_PEER_PORT(basic, "VEMNET_SQUID_BASIC_PORT");
    REQUIRE_PEER_PORT(plain, "VEMNET_SQUID_PLAIN_PORT");
    VemNetwork::FailedProxies::OfProcess().Clear();
    autoConfigAnswer = L"PROXY 127.0.0.1:" + std::to_wstring(basic) + L"; PROXY 127.0.0.1:" + std::to_wstring(plain);
    VemNetwork::SetProxyAnswerSource(AutoConfigAnswer);
    for (int round = 0; round < 2; ++round) {
        std::string outcome;
        EXPECT_EQ(basic, SystemConnect(&outcome).port) << round;
        // No credentials in the system setting: squid refuses, and the
        // handshake failure does not move on.
        EXPECT_EQ("E6", outcome) << round;
    }
    VemNetwork::SetProxyAnswerSource(nullptr);
}

TEST(Squid, BasicAfterA407WithoutAnEventInBetween) {
    REQUIRE_PEER_PORT(port, "VEMNET_SQUID_BASIC_PORT");
    // ExpectTunnel insists on exactly one outcome, OnConnect(0): the 407 and
    // the second connection stay invisible to the host.
    ExpectTunnel(Proxy(4, port, User(), Password()), false);
    ExpectTunnel(Proxy(4, port, User(), Password()), true);
}

TEST(Squid, BasicWithAWrongPasswordFails) {
    REQUIRE_PEER_PORT(port, "VEMNET_SQUID_BASIC_PORT");
    ExpectHandshakeFailure(Proxy(4, port, User(), L"wrong"));
}

TEST(Squid, BasicWithoutAUserFails) {
    REQUIRE_PEER_PORT(port, "VEMNET_SQUID_BASIC_PORT");
    ExpectHandshakeFailure(Proxy(4, port));
}

TEST(Squid, NtlmOnlyCompletesTheThreeLegs) {
    REQUIRE_PEER_PORT(port, "VEMNET_SQUID_NTLM_PORT");
    ExpectTunnel(Proxy(4, port, User(), Password()), false);
    ExpectTunnel(Proxy(4, port, User(), Password()), true);
}

TEST(Squid, NtlmWithoutAUserFails) {
    REQUIRE_PEER_PORT(port, "VEMNET_SQUID_NTLM_PORT");
    ExpectHandshakeFailure(Proxy(4, port));
}

TEST(Squid, BothOfferedNtlmTheStrongerIsUsed) {
    REQUIRE_PEER_PORT(port, "VEMNET_SQUID_BOTH_PORT");
    // The password fails Basic, so only the NTLM dialogue can open the tunnel
    // (squid's fake NTLM helper takes any password).
    ExpectTunnel(Proxy(4, port, User(), L"wrong"), false);
    ExpectTunnel(Proxy(4, port, User(), L"wrong"), true);
}

TEST(Squid, DigestOnlyRightPasswordPassesWrongOneFails) {
    REQUIRE_PEER_PORT(port, "VEMNET_SQUID_DIGEST_PORT");
    ExpectTunnel(Proxy(4, port, User(), Password()), true);
    ExpectHandshakeFailure(Proxy(4, port, User(), L"wrong"));
}

// Without a user the client's own ticket (peer-kdc.sh's kinit) for
// HTTP@localhost; with one, a ticket got with the record's password (the
// domain is the realm). Windows: SSPI's default and explicit credentials
// (wine's Kerberos package works on the same ticket cache).
TEST(Squid, NegotiateWithTheTicketCacheOrWithAPassword) {
    REQUIRE_PEER_PORT(port, "VEMNET_SQUID_NEGOTIATE_PORT");
    ProxyInfo p = Proxy(4, port);
    p.host = L"localhost";
    ExpectTunnel(p, false);
    p.user = L"kerbuser";
    p.password = L"kerbpass";
    p.domain = L"VEMNET.TEST";
    ExpectTunnel(p, false);
}

// Negotiate is offered first but the record's user has no Kerberos
// principal: NTLM, the next strongest, is used, never Basic.
TEST(Squid, NegotiateNtlmAndBasicOfferedARecordForNtlmUsesNtlm) {
    REQUIRE_PEER_PORT(port, "VEMNET_SQUID_ALL_PORT");
    const std::string log = testing_support::PeerValue("VEMNET_SQUID_ALL_LOG");
    ExpectTunnel(Proxy(4, port, User(), Password()), false);
    std::string lines;
    // squid writes the line when the tunnel closes.
    ASSERT_TRUE(testing_support::WaitFor([&] {
        lines = ReadWholeFile(log);
        return lines.find("CONNECT NTLM") != std::string::npos;
    }, 10000)) << lines;
    EXPECT_EQ(std::string::npos, lines.find("Basic")) << lines;
    EXPECT_EQ(std::string::npos, lines.find("Negotiate")) << lines;
}

// ---- tinyproxy ----------------------------------------------------------------

TEST(Tinyproxy, Basic) {
    REQUIRE_PEER_PORT(port, "VEMNET_TINYPROXY_PORT");
    ExpectTunnel(Proxy(4, port, User(), Password()), false);
    ExpectTunnel(Proxy(4, port, User(), Password()), true);
}

TEST(Tinyproxy, WrongPasswordFails) {
    REQUIRE_PEER_PORT(port, "VEMNET_TINYPROXY_PORT");
    ExpectHandshakeFailure(Proxy(4, port, User(), L"wrong"));
}

TEST(Tinyproxy, NoUserFails) {
    REQUIRE_PEER_PORT(port, "VEMNET_TINYPROXY_PORT");
    ExpectHandshakeFailure(Proxy(4, port));
}

// ---- SOCKS5 -------------------------------------------------------------------

TEST(Microsocks, WithoutAuthentication) {
    REQUIRE_PEER_PORT(port, "VEMNET_MICROSOCKS_PORT");
    ExpectTunnel(Proxy(3, port), false);
    ExpectTunnel(Proxy(3, port), true);
}

TEST(Microsocks, IPv6LiteralTargetGoesAsAnAddress) {
    REQUIRE_PEER_PORT(port, "VEMNET_MICROSOCKS_PORT");
    ExpectIPv6Target(Proxy(3, port), L"[::1]");
}

TEST(Microsocks, ServerSpeaksFirst) {
    REQUIRE_PEER_PORT(port, "VEMNET_MICROSOCKS_PORT");
    ExpectServerSpeaksFirst(Proxy(3, port));
}

TEST(Microsocks, UserAndPassword) {
    REQUIRE_PEER_PORT(port, "VEMNET_MICROSOCKS_AUTH_PORT");
    ExpectTunnel(Proxy(3, port, User(), Password()), false);
    ExpectTunnel(Proxy(3, port, User(), Password()), true);
}

TEST(Microsocks, WrongPasswordFails) {
    REQUIRE_PEER_PORT(port, "VEMNET_MICROSOCKS_AUTH_PORT");
    ExpectHandshakeFailure(Proxy(3, port, User(), L"wrong"));
}

TEST(Microsocks, NoUserFails) {
    REQUIRE_PEER_PORT(port, "VEMNET_MICROSOCKS_AUTH_PORT");
    ExpectHandshakeFailure(Proxy(3, port));
}

TEST(Dante, WithoutAuthentication) {
    REQUIRE_PEER_PORT(port, "VEMNET_DANTE_PORT");
    ExpectTunnel(Proxy(3, port), false);
    ExpectTunnel(Proxy(3, port), true);
}

TEST(Dante, ServerSpeaksFirst) {
    REQUIRE_PEER_PORT(port, "VEMNET_DANTE_PORT");
    ExpectServerSpeaksFirst(Proxy(3, port));
}

TEST(Dante, UserAndPassword) {
    REQUIRE_PEER_PORT(port, "VEMNET_DANTE_AUTH_PORT");
    ExpectTunnel(Proxy(3, port, User(), Password()), false);
    ExpectTunnel(Proxy(3, port, User(), Password()), true);
}

TEST(Dante, WrongPasswordFails) {
    REQUIRE_PEER_PORT(port, "VEMNET_DANTE_AUTH_PORT");
    ExpectHandshakeFailure(Proxy(3, port, User(), L"wrong"));
}

TEST(Dante, NoUserFails) {
    REQUIRE_PEER_PORT(port, "VEMNET_DANTE_AUTH_PORT");
    ExpectHandshakeFailure(Proxy(3, port));
}

// ---- SOCKS4a ------------------------------------------------------------------

TEST(Socks4a, BothSocks4Types) {
    REQUIRE_PEER_PORT(port, "VEMNET_SOCKS4A_PORT");
    ExpectTunnel(Proxy(1, port), false);
    ExpectTunnel(Proxy(2, port), true);
}

TEST(Socks4a, IPv6LiteralTargetGoesAsAName) {
    REQUIRE_PEER_PORT(port, "VEMNET_SOCKS4A_PORT");
    ExpectIPv6Target(Proxy(1, port), L"[::1]");
}

TEST(Socks4a, ServerSpeaksFirst) {
    REQUIRE_PEER_PORT(port, "VEMNET_SOCKS4A_PORT");
    ExpectServerSpeaksFirst(Proxy(1, port));
}

TEST(Socks4a, ZeroTimeout) {
    REQUIRE_PEER_PORT(port, "VEMNET_SOCKS4A_PORT");
    TestServer echo;
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo proxy = Proxy(1, port);
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", echo.port(), 0, &proxy));
    ASSERT_TRUE(host.WaitOutcome(10000));
    EXPECT_EQ("C0", host.Outcomes());
    ASSERT_EQ(0, conn->Send("zero", 4));
    ASSERT_TRUE(host.WaitData(4));
    EXPECT_EQ("zero", host.Data());
}

}  // namespace
