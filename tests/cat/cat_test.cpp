// vemnet-cat driven as a user drives it: bytes on its standard input, a
// server of the test's own on 127.0.0.1, the real proxies and the HTTP
// session server that tests/peers/with-peers.sh starts, and its exit code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cat/cat_harness.h"
#include "tests/support/peer_env.h"
#include "tools/cat/options.h"

using cat_harness::Args;
using cat_harness::CatPath;
using cat_harness::RandomBytes;
using cat_harness::TestPeer;
using testing_support::ChildProcess;
using testing_support::ChildResult;
using testing_support::RunChild;

namespace {

const size_t kPayload = 200 * 1024;
// Generous: the machine is shared, and under wine every start takes seconds.
const int kRunLimit = 60000;

std::string User() { return testing_support::PeerValue("VEMNET_PROXY_USER", "vemuser"); }
std::string Password() { return testing_support::PeerValue("VEMNET_PROXY_PASSWORD", "vempass"); }

std::string Describe(const ChildResult& r) {
    return "exit " + std::to_string(r.code) + ", stderr:\n" + r.err;
}

// 200 KiB through vemnet-cat with the given options to an echo server that
// closes once it has echoed everything: the peer's close ends the run.
void ExpectRoundTrip(const std::vector<std::string>& options, unsigned seed) {
    TestPeer echo(TestPeer::kEcho, kPayload);
    ASSERT_TRUE(echo.ok());
    std::string input = RandomBytes(kPayload, seed);
    std::vector<std::string> argv{CatPath(), "-v", "--wait", "20000"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("127.0.0.1");
    argv.push_back(echo.Port());
    ChildResult r = RunChild(argv, input, kRunLimit);
    ASSERT_EQ(0, r.code) << Describe(r);
    EXPECT_SAME_BYTES(input, r.out);
    EXPECT_SAME_BYTES(input, echo.Received());
    EXPECT_EQ(1, echo.Connections());
    EXPECT_NE(std::string::npos, r.err.find("the peer closed the connection")) << r.err;
}

}  // namespace

// ---- the command line --------------------------------------------------------

TEST(Usage, HelpListsEveryOptionAndExitCode) {
    REQUIRE_CAT();
    ChildResult r = RunChild(Args({"--help"}), "", kRunLimit);
    ASSERT_EQ(0, r.code) << Describe(r);
    for (const char* word : {"--proxy", "http://", "ntlm://", "socks4a://", "socks5://", "system", "--http",
                             "--auto", "--verb", "--header", "--poll", "--timeout", "--wait", "--listen", "--bind", "-v",
                             "--help", "Exit codes", "Examples"}) {
        EXPECT_NE(std::string::npos, r.out.find(word)) << word;
    }
    for (int code : {0, 2, 3, 4, 5, 6, 7, 8}) {
        EXPECT_NE(std::string::npos, r.out.find("\n  " + std::to_string(code) + "  ")) << "exit code " << code;
    }
    EXPECT_EQ("", r.err);
}

TEST(Usage, BadCommandLinesExitWithTwo) {
    REQUIRE_CAT();
    struct Case {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{}, "HOST and PORT"},
        {{"127.0.0.1"}, "HOST and PORT"},
        {{"127.0.0.1", "port"}, "PORT"},
        {{"--nonsense", "127.0.0.1", "1"}, "unknown option"},
        {{"--proxy", "ftp://127.0.0.1:21", "127.0.0.1", "1"}, "unknown proxy scheme"},
        {{"--timeout", "0", "127.0.0.1", "1"}, "--timeout"},
        {{"--listen", "1", "127.0.0.1", "1"}, "--listen"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{CatPath()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ChildResult r = RunChild(argv, "", kRunLimit);
        EXPECT_EQ(vemcat::kExitUsage, r.code) << c.says << ": " << Describe(r);
        EXPECT_NE(std::string::npos, r.err.find(c.says)) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("--help")) << r.err;
        EXPECT_EQ("", r.out);
    }
}

// ---- direct TCP ---------------------------------------------------------------

TEST(Direct, RoundTripEndsWhenThePeerCloses) {
    REQUIRE_CAT();
    ExpectRoundTrip({}, 1);
}

TEST(Direct, EndOfInputSendsEverythingQueuedFirst) {
    REQUIRE_CAT();
    // No --wait: the program exits as soon as its last byte has left, so
    // the sink sees every byte only if the queue was drained before exit.
    // A slow sink keeps the kernel's buffers full, so the last bytes are
    // still in the connection's queue when standard input ends.
    TestPeer sink(TestPeer::kSlowSink);
    std::string input = RandomBytes(16 * 1024 * 1024, 2);
    ChildResult r = RunChild(Args({"-v", "127.0.0.1", sink.Port()}), input, kRunLimit);
    ASSERT_EQ(0, r.code) << Describe(r);
    EXPECT_EQ("", r.out);
    ASSERT_TRUE(sink.WaitReceived(input.size(), 30000))
        << sink.Received().size() << " bytes arrived; " << Describe(r);
    EXPECT_SAME_BYTES(input, sink.Received());
}

TEST(Direct, PeerCloseEndsTheRunWhileInputStaysOpen) {
    REQUIRE_CAT();
    TestPeer closer(TestPeer::kCloseAtOnce);
    ChildProcess child;
    ASSERT_TRUE(child.Start(Args({"-v", "127.0.0.1", closer.Port()})));
    // Standard input stays open and silent: bytes sent to a peer that has
    // closed would earn a reset, which is an error, not a close.
    int code = child.Wait(kRunLimit);
    EXPECT_EQ(0, code) << child.Stderr();
    EXPECT_FALSE(child.TimedOut());
    EXPECT_NE(std::string::npos, child.Stderr().find("the peer closed the connection")) << child.Stderr();
}

TEST(Direct, NothingListeningCannotConnect) {
    REQUIRE_CAT();
    int port;
    {
        TestPeer gone(TestPeer::kSink);
        port = gone.port();
    }
    ChildResult r = RunChild(Args({"-v", "127.0.0.1", std::to_string(port)}), "never sent", kRunLimit);
    EXPECT_EQ(vemcat::kExitNoConnect, r.code) << Describe(r);
    EXPECT_NE(std::string::npos, r.err.find("could not connect to 127.0.0.1:" + std::to_string(port))) << r.err;
    // The library's line names the cause.
    EXPECT_NE(std::string::npos, r.err.find("failed: refused by 127.0.0.1:" + std::to_string(port))) << r.err;
    EXPECT_EQ("", r.out);
}

TEST(Direct, APeerThatNeverReadsTimesOut) {
    REQUIRE_CAT();
    // More than the kernel's buffers and the socket's queue hold: the
    // program must notice that nothing moves, and say so, not hang.
    TestPeer silent(TestPeer::kSilent);
    std::string input = RandomBytes(24 * 1024 * 1024, 3);
    ChildResult r = RunChild(Args({"--timeout", "1500", "127.0.0.1", silent.Port()}), input, kRunLimit);
    EXPECT_EQ(vemcat::kExitTimeout, r.code) << Describe(r);
    EXPECT_NE(std::string::npos, r.err.find("timed out")) << r.err;
}

// ---- proxies ------------------------------------------------------------------

struct ProxyCase {
    const char* name;
    const char* portVariable;
    const char* scheme;
    bool credentials;
    const char* query;
};

class ThroughProxy : public ::testing::TestWithParam<ProxyCase> {};

TEST_P(ThroughProxy, RoundTrip) {
    REQUIRE_CAT();
    const ProxyCase& c = GetParam();
    REQUIRE_PEER_PORT(port, c.portVariable);
    std::string url = std::string(c.scheme) + "://" + (c.credentials ? User() + ":" + Password() + "@" : "") +
                      "127.0.0.1:" + std::to_string(port) + c.query;
    ExpectRoundTrip({"--proxy", url}, 10);
}

INSTANTIATE_TEST_SUITE_P(
    RealPeers, ThroughProxy,
    ::testing::Values(ProxyCase{"SquidPlain", "VEMNET_SQUID_PLAIN_PORT", "http", false, ""},
                      ProxyCase{"SquidBasic", "VEMNET_SQUID_BASIC_PORT", "http", true, ""},
                      ProxyCase{"SquidNtlm", "VEMNET_SQUID_NTLM_PORT", "ntlm", true, "?domain=VEMDOM"},
                      ProxyCase{"SquidNtlmAsHttp", "VEMNET_SQUID_NTLM_PORT", "http", true, ""},
                      ProxyCase{"TinyproxyBasic", "VEMNET_TINYPROXY_PORT", "http", true, ""},
                      ProxyCase{"Microsocks", "VEMNET_MICROSOCKS_PORT", "socks5", false, ""},
                      ProxyCase{"MicrosocksAuth", "VEMNET_MICROSOCKS_AUTH_PORT", "socks5", true, ""},
                      ProxyCase{"Dante", "VEMNET_DANTE_PORT", "socks5", false, ""},
                      ProxyCase{"Socks4a", "VEMNET_SOCKS4A_PORT", "socks4a", false, ""}),
    [](const ::testing::TestParamInfo<ProxyCase>& info) { return std::string(info.param.name); });

TEST(Proxy, Socks4aPassesAHostNameToTheProxy) {
    REQUIRE_CAT();
    REQUIRE_PEER_PORT(port, "VEMNET_SOCKS4A_PORT");
    TestPeer echo(TestPeer::kEcho, 5);
    ChildResult r = RunChild(Args({"--wait", "20000", "--proxy", "socks4a://127.0.0.1:" + std::to_string(port),
                                   "localhost", echo.Port()}),
                             "hello", kRunLimit);
    ASSERT_EQ(0, r.code) << Describe(r);
    EXPECT_EQ("hello", r.out);
}

TEST(Proxy, WrongPasswordsFailTheHandshake) {
    REQUIRE_CAT();
    struct Case {
        const char* variable;
        const char* scheme;
    } cases[] = {{"VEMNET_SQUID_BASIC_PORT", "http"},
                 {"VEMNET_TINYPROXY_PORT", "http"},
                 {"VEMNET_MICROSOCKS_AUTH_PORT", "socks5"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.variable);
        REQUIRE_PEER_PORT(port, c.variable);
        TestPeer echo(TestPeer::kEcho);
        std::string url = std::string(c.scheme) + "://" + User() + ":wrong@127.0.0.1:" + std::to_string(port);
        ChildResult r = RunChild(Args({"--proxy", url, "127.0.0.1", echo.Port()}), "secret data", kRunLimit);
        EXPECT_EQ(vemcat::kExitProxyFailed, r.code) << Describe(r);
        EXPECT_NE(std::string::npos, r.err.find("authentication failed")) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("error 6")) << r.err;
        EXPECT_EQ("", r.out);
        EXPECT_EQ("", echo.Received());
    }
}

// -v shows the library's own line naming the step that failed and what the
// proxy said.
TEST(Proxy, VerboseNamesTheFailedStep) {
    REQUIRE_CAT();
    struct Case {
        const char* variable;
        const char* scheme;
        const char* said;
    } cases[] = {{"VEMNET_SQUID_BASIC_PORT", "http", "HTTP/1.1 407"},
                 {"VEMNET_MICROSOCKS_AUTH_PORT", "socks5", "user/password refused, status 2 (step \"auth\")"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.variable);
        REQUIRE_PEER_PORT(port, c.variable);
        TestPeer echo(TestPeer::kEcho);
        std::string url = std::string(c.scheme) + "://" + User() + ":wrong@127.0.0.1:" + std::to_string(port);
        ChildResult r = RunChild(Args({"-v", "--proxy", url, "127.0.0.1", echo.Port()}), "", kRunLimit);
        EXPECT_EQ(vemcat::kExitProxyFailed, r.code) << Describe(r);
        const std::string line = "[4] VemNetwork.TcpNetConn: proxy handshake with 127.0.0.1:" + std::to_string(port) +
                                 " failed: ";
        const size_t at = r.err.find(line);
        ASSERT_NE(std::string::npos, at) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.said, at)) << r.err;
    }
}

TEST(Proxy, ASilentProxyTimesOutAsCouldNotConnect) {
    REQUIRE_CAT();
    // Takes the TCP connection and never answers the handshake.
    TestPeer silent(TestPeer::kSink);
    ChildResult r = RunChild(Args({"--timeout", "1000", "--proxy", "http://127.0.0.1:" + silent.Port(),
                                   "127.0.0.1", "9"}),
                             "", kRunLimit);
    EXPECT_EQ(vemcat::kExitNoConnect, r.code) << Describe(r);
    EXPECT_NE(std::string::npos, r.err.find("could not connect")) << r.err;
    EXPECT_NE(std::string::npos, silent.Received().find("CONNECT 127.0.0.1:9")) << silent.Received();
}

TEST(Proxy, AnUnsupportedKindIsReportedAsSuch) {
    REQUIRE_CAT();
    TestPeer proxy(TestPeer::kSink);
    ChildResult r =
        RunChild(Args({"--proxy", "http://127.0.0.1:" + proxy.Port() + "?type=9", "127.0.0.1", "9"}), "", kRunLimit);
    EXPECT_EQ(vemcat::kExitUnsupportedProxy, r.code) << Describe(r);
    EXPECT_NE(std::string::npos, r.err.find("proxy kind 9 is not supported")) << r.err;
}

TEST(Proxy, SystemSettingWithoutAnEntryConnectsDirectly) {
    REQUIRE_CAT();
    TestPeer echo(TestPeer::kEcho, 4);
    ChildResult r =
        RunChild(Args({"-v", "--wait", "20000", "--proxy", "system", "127.0.0.1", echo.Port()}), "ping", kRunLimit,
                 {"http_proxy=", "HTTP_PROXY=", "https_proxy=", "HTTPS_PROXY=", "all_proxy=", "ALL_PROXY="});
    ASSERT_EQ(0, r.code) << Describe(r);
    EXPECT_EQ("ping", r.out);
    EXPECT_NE(std::string::npos, r.err.find("names no proxy")) << r.err;
}

#if !defined(_WIN32)
TEST(Proxy, SystemSettingFromTheEnvironment) {
    REQUIRE_CAT();
    REQUIRE_PEER_PORT(squid, "VEMNET_SQUID_PLAIN_PORT");
    TestPeer echo(TestPeer::kEcho, kPayload);
    std::string input = RandomBytes(kPayload, 4);
    std::string proxy = "http://127.0.0.1:" + std::to_string(squid);
    ChildResult r = RunChild(Args({"-v", "--wait", "20000", "--proxy", "system", "127.0.0.1", echo.Port()}), input,
                             kRunLimit,
                             {"http_proxy=" + proxy, "HTTP_PROXY=", "https_proxy=", "HTTPS_PROXY=", "all_proxy=",
                              "ALL_PROXY="});
    ASSERT_EQ(0, r.code) << Describe(r);
    EXPECT_SAME_BYTES(input, r.out);
    EXPECT_NE(std::string::npos,
              r.err.find("system proxy setting gives HTTP CONNECT proxy 127.0.0.1:" + std::to_string(squid)))
        << r.err;
}

// -v tells the candidates, the one being tried and why the attempt moved on.
TEST(Proxy, SystemSettingShowsTheCandidatesAndTheMoveToTheNext) {
    REQUIRE_CAT();
    REQUIRE_PEER_PORT(squid, "VEMNET_SQUID_PLAIN_PORT");
    TestPeer echo(TestPeer::kEcho, 4);
    const std::string squidAt = "127.0.0.1:" + std::to_string(squid);
    // Nothing listens on port 1 of the loopback.
    ChildResult r = RunChild(Args({"-v", "--wait", "20000", "--proxy", "system", "127.0.0.1", echo.Port()}), "ping",
                             kRunLimit,
                             {"http_proxy=http://127.0.0.1:1", "HTTP_PROXY=", "https_proxy=http://" + squidAt,
                              "HTTPS_PROXY=", "all_proxy=", "ALL_PROXY="});
    ASSERT_EQ(0, r.code) << Describe(r);
    EXPECT_EQ("ping", r.out);
    EXPECT_NE(std::string::npos, r.err.find("candidates for 127.0.0.1: PROXY 127.0.0.1:1; PROXY " + squidAt)) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("candidate PROXY 127.0.0.1:1 failed: refused by 127.0.0.1:1")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("trying system proxy candidate PROXY " + squidAt)) << r.err;
}
#endif

// ---- HTTP polling -------------------------------------------------------------

TEST(Http, RoundTripThroughTheSessionServer) {
    REQUIRE_CAT();
    REQUIRE_PEER_PORT(port, "VEMNET_SESSION_SERVER_PORT");
    // The server echoes what a session sends; there is no close, so --wait
    // ends the run once it has been silent for a while.
    std::string input = RandomBytes(kPayload, 5);
    ChildResult r = RunChild(
        Args({"--http", "/cat-echo", "--poll", "20,200", "--wait", "3000", "127.0.0.1", std::to_string(port)}),
        input, 120000);
    ASSERT_EQ(0, r.code) << Describe(r);
    EXPECT_SAME_BYTES(input, r.out);
}

TEST(Http, VerbAndHeadersReachTheServer) {
    REQUIRE_CAT();
    REQUIRE_PEER_PORT(port, "VEMNET_SESSION_SERVER_PORT");
    ChildResult r = RunChild(Args({"--http", "/cat-headers", "--verb", "PUT", "--header", "X-Cat-One: first",
                                   "--header", "X-Cat-Two: second", "--poll", "20,100", "--wait", "1000",
                                   "127.0.0.1", std::to_string(port)}),
                             "abc", kRunLimit);
    ASSERT_EQ(0, r.code) << Describe(r);
    EXPECT_EQ("abc", r.out);
    std::string log = cat_harness::HttpGet(port, "/_log?prefix=/cat-headers");
    EXPECT_NE(std::string::npos, log.find("\"PUT\"")) << log.substr(0, 2000);
    EXPECT_EQ(std::string::npos, log.find("\"POST\"")) << log.substr(0, 2000);
    EXPECT_NE(std::string::npos, log.find("[\"X-Cat-One\", \"first\"]")) << log.substr(0, 2000);
    EXPECT_NE(std::string::npos, log.find("[\"X-Cat-Two\", \"second\"]")) << log.substr(0, 2000);
}

TEST(Http, AStatusOtherThan200IsAnAuthenticationFailure) {
    REQUIRE_CAT();
    REQUIRE_PEER_PORT(port, "VEMNET_SESSION_SERVER_PORT");
    ChildResult r = RunChild(Args({"--http", "/status/404", "--poll", "20,100", "127.0.0.1", std::to_string(port)}),
                             "", kRunLimit);
    EXPECT_EQ(vemcat::kExitProxyFailed, r.code) << Describe(r);
    EXPECT_NE(std::string::npos, r.err.find("error 6")) << r.err;
}

TEST(Http, NoServerIsAConnectionError) {
    REQUIRE_CAT();
    int port;
    {
        TestPeer gone(TestPeer::kSink);
        port = gone.port();
    }
    ChildResult r =
        RunChild(Args({"--http", "/x", "--poll", "20,100", "127.0.0.1", std::to_string(port)}), "", kRunLimit);
    EXPECT_EQ(vemcat::kExitConnError, r.code) << Describe(r);
    EXPECT_NE(std::string::npos, r.err.find("connection error")) << r.err;
}

// ---- --auto -------------------------------------------------------------------

TEST(Auto, VerboseShowsTheClimbToTheGateway) {
    REQUIRE_CAT();
    REQUIRE_PEER_PORT(gateway, "VEMNET_GATEWAY_PORT");
    int refusing;
    {
        TestPeer gone(TestPeer::kSink);
        refusing = gone.port();
    }
    ChildResult r = RunChild(Args({"-v", "--auto", "http://127.0.0.1:" + std::to_string(gateway) + "/", "--wait",
                                   "2000", "127.0.0.1", std::to_string(refusing)}),
                             "over whatever works", kRunLimit);
    ASSERT_EQ(0, r.code) << Describe(r);
    EXPECT_EQ("over whatever works", r.out);
    EXPECT_NE(std::string::npos, r.err.find(": direct failed after")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(": http won after")) << r.err;
}

// ---- --listen -----------------------------------------------------------------

TEST(Listen, AgainstItselfBothWays) {
    REQUIRE_CAT();
    std::string toClient = RandomBytes(kPayload, 6);
    std::string toServer = RandomBytes(kPayload + 12345, 7);
    ChildProcess server;
    ASSERT_TRUE(server.Start(Args({"-v", "--wait", "3000", "--listen", "0"})));
    server.FeedStdin(toClient, true);
    const std::string mark = "listening on 127.0.0.1:";
    ASSERT_TRUE(server.WaitStderrContains(mark, 30000)) << server.Stderr();
    std::string err = server.Stderr();
    int port = std::atoi(err.c_str() + err.find(mark) + mark.size());
    ASSERT_GT(port, 0) << err;

    ChildResult client = RunChild(Args({"--wait", "3000", "127.0.0.1", std::to_string(port)}), toServer, kRunLimit);
    int serverCode = server.Wait(kRunLimit);
    ASSERT_EQ(0, client.code) << Describe(client);
    ASSERT_EQ(0, serverCode) << server.Stderr();
    EXPECT_SAME_BYTES(toClient, client.out);
    EXPECT_SAME_BYTES(toServer, server.Stdout());
    EXPECT_NE(std::string::npos, server.Stderr().find("accepted a connection from 127.0.0.1:")) << server.Stderr();
}

TEST(Listen, ServesOneConnectionOnly) {
    REQUIRE_CAT();
    ChildProcess server;
    ASSERT_TRUE(server.Start(Args({"-v", "--listen", "0"})));
    const std::string mark = "listening on 127.0.0.1:";
    ASSERT_TRUE(server.WaitStderrContains(mark, 30000)) << server.Stderr();
    std::string err = server.Stderr();
    std::string port = std::to_string(std::atoi(err.c_str() + err.find(mark) + mark.size()));

    ChildProcess first;
    ASSERT_TRUE(first.Start(Args({"127.0.0.1", port})));
    first.FeedStdin("first", false);
    ASSERT_TRUE(server.WaitStdoutSize(5, 30000)) << server.Stderr();
    // The listener went with the first client.
    ChildResult second = RunChild(Args({"127.0.0.1", port}), "second", kRunLimit);
    EXPECT_EQ(vemcat::kExitNoConnect, second.code) << Describe(second);
    first.CloseStdin();
    EXPECT_EQ(0, first.Wait(kRunLimit)) << first.Stderr();
    EXPECT_EQ(0, server.Wait(kRunLimit)) << server.Stderr();
    EXPECT_EQ("first", server.Stdout());
}

TEST(Listen, NoClientWithinTheTimeout) {
    REQUIRE_CAT();
    ChildResult r = RunChild(Args({"--timeout", "700", "--listen", "0"}), "", kRunLimit);
    EXPECT_EQ(vemcat::kExitTimeout, r.code) << Describe(r);
    EXPECT_NE(std::string::npos, r.err.find("no client within 700 ms")) << r.err;
}

TEST(Listen, APortInUseIsALocalFailure) {
    REQUIRE_CAT();
    TestPeer taken(TestPeer::kSink);
    ChildResult r = RunChild(Args({"--listen", taken.Port()}), "", kRunLimit);
    EXPECT_EQ(vemcat::kExitLocal, r.code) << Describe(r);
    EXPECT_NE(std::string::npos, r.err.find("cannot listen on 127.0.0.1:" + taken.Port())) << r.err;
}
