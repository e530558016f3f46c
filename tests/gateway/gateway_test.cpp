// vemnet-gateway between the library's HTTP client and an echo service:
// byte-exact relaying, many sessions, the ends of a session, bad input, and
// two gateways behind HAProxy.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "tests/gateway/gateway_harness.h"
#include "tests/http_live/live_support.h"

namespace {

using gateway_test::EchoBackend;
using gateway_test::Gateway;
using gateway_test::LossyRelay;
using gateway_test::Post;
using gateway_test::Reply;
using http_live::Ev;
using http_live::Recorder;
using testing_support::WaitFor;
namespace asio = boost::asio;
namespace http = boost::beast::http;
using VemNetwork::NETCONN_EVENT_HANDSHAKE_FAILED;
using VemNetwork::NETCONN_OK;

std::wstring UrlOf(int port, const std::string& path = "/") {
    return http_live::Wide("http://127.0.0.1:" + std::to_string(port) + path);
}

VemNetwork::IHttpConn* ConnectClient(Recorder* cb, int port, const std::string& path = "/") {
    http_live::ConnSetup setup;
    setup.url = UrlOf(port, path);
    VemNetwork::IHttpConn* conn = http_live::MakeConn(cb, setup);
    if (conn) conn->Connect(L"127.0.0.1", port, 60000, nullptr);
    return conn;
}

// The identifier from a "session=" reply.
std::string SessionOf(const gateway_test::Reply& r) {
    return r.status == 200 && r.body.compare(0, 8, "session=") == 0 ? r.body.substr(8) : std::string();
}

TEST(Gateway, RelaysFiveMegabytesBothWaysByteExact) {
    EchoBackend backend;
    Gateway gw;
    ASSERT_TRUE(gw.Start(backend.Port()));
    Recorder cb;
    std::unique_ptr<VemNetwork::IHttpConn> conn(ConnectClient(&cb, gw.Port()));
    ASSERT_TRUE(conn);

    const std::string sent = http_live::RandomBytes(5 << 20, 15);
    std::mt19937 gen(7);
    for (size_t at = 0; at < sent.size();) {
        size_t n = std::min(sent.size() - at, size_t(1 + gen() % 65536));
        ASSERT_EQ(conn->Send(sent.data() + at, int(n)), NETCONN_OK);
        at += n;
    }
    EXPECT_TRUE(cb.WaitReceived(sent.size(), 120000)) << cb.Received().size() << " of " << sent.size();
    EXPECT_TRUE(cb.Received() == sent) << "the echo differs from what was sent";
    EXPECT_EQ(cb.Count(Ev::Error), 0);
    EXPECT_EQ(backend.Accepted(), 1);
}

TEST(Gateway, ServesAClientOverIPv6Loopback) {
    EchoBackend backend;
    Gateway gw;
    ASSERT_TRUE(gw.Start(backend.Port(), {}, "::1")) << gw.Log();
    Recorder cb;
    http_live::ConnSetup setup;
    setup.url = http_live::Wide("http://[::1]:" + std::to_string(gw.Port()) + "/");
    std::unique_ptr<VemNetwork::IHttpConn> conn(http_live::MakeConn(&cb, setup));
    ASSERT_TRUE(conn);
    conn->Connect(L"::1", gw.Port(), 60000, nullptr);
    ASSERT_EQ(conn->Send("ping", 4), NETCONN_OK);
    EXPECT_TRUE(cb.WaitReceived(4, 20000));
    EXPECT_EQ(cb.Received(), "ping");
    EXPECT_EQ(cb.Count(Ev::Error), 0);
}

TEST(Gateway, ServesTwoHundredSessionsAtOnce) {
    const int kSessions = 200;
    EchoBackend backend;
    Gateway gw;
    ASSERT_TRUE(gw.Start(backend.Port(), {"--max-sessions", std::to_string(kSessions), "--client-sessions",
                                          std::to_string(kSessions), "--client-rate", "1000"}));
    std::vector<std::unique_ptr<Recorder>> cbs;
    std::vector<std::unique_ptr<VemNetwork::IHttpConn>> conns;
    std::vector<std::string> messages;
    for (int i = 0; i < kSessions; ++i) {
        cbs.emplace_back(new Recorder);
        conns.emplace_back(ConnectClient(cbs.back().get(), gw.Port()));
        ASSERT_TRUE(conns.back());
        messages.push_back(http_live::RandomBytes(1000 + i, unsigned(i)));
        ASSERT_EQ(conns.back()->Send(messages.back().data(), int(messages.back().size())), NETCONN_OK);
    }
    for (int i = 0; i < kSessions; ++i) {
        EXPECT_TRUE(cbs[i]->WaitReceived(messages[i].size(), 60000)) << "session " << i;
        EXPECT_TRUE(cbs[i]->Received() == messages[i]) << "session " << i << " got another session's bytes";
        EXPECT_EQ(cbs[i]->Count(Ev::Error), 0) << "session " << i;
    }
    EXPECT_EQ(backend.Accepted(), kSessions);
}

// The backend's last bytes still reach the client; then the session ends
// and the client's next exchange fails.
TEST(Gateway, BackendCloseIsACleanEndAfterEveryByte) {
    EchoBackend backend;
    Gateway gw;
    ASSERT_TRUE(gw.Start(backend.Port()));
    Recorder cb;
    std::unique_ptr<VemNetwork::IHttpConn> conn(ConnectClient(&cb, gw.Port()));
    ASSERT_TRUE(conn);
    const std::string sent = http_live::RandomBytes(3000, 5);
    ASSERT_EQ(conn->Send(sent.data(), int(sent.size())), NETCONN_OK);
    ASSERT_TRUE(cb.WaitReceived(sent.size(), 10000));
    backend.CloseAll();
    ASSERT_TRUE(cb.WaitCount(Ev::Close, 1, 10000));
    EXPECT_EQ(cb.Count(Ev::Error), 0);
    EXPECT_EQ(cb.Events().back().kind, Ev::Close);
    EXPECT_EQ(cb.Received(), sent);
    EXPECT_FALSE(conn->IsConnected());
    // A client of the plain protocol is told with a status, as before.
    std::string id = SessionOf(Post(gw.Port(), "/", "session=&data="));
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(WaitFor([&] { return backend.Accepted() == 2; }, 5000));
    backend.CloseAll();
    EXPECT_TRUE(WaitFor([&] { return Post(gw.Port(), "/", "session=" + id + "&data=").status == 410; }, 10000));
}

TEST(Gateway, BackendDataArrivesWithoutWaitingForAPoll) {
    EchoBackend backend;
    Gateway gw;
    ASSERT_TRUE(gw.Start(backend.Port()));
    Recorder cb;
    http_live::ConnSetup setup;
    setup.url = UrlOf(gw.Port());
    setup.baseInterval = 5000;
    setup.maxInterval = 5000;
    std::unique_ptr<VemNetwork::IHttpConn> conn(http_live::MakeConn(&cb, setup));
    ASSERT_TRUE(conn);
    ASSERT_EQ(conn->Connect(L"127.0.0.1", gw.Port(), 60000, nullptr), NETCONN_OK);
    ASSERT_EQ(conn->Send("ping", 4), NETCONN_OK);
    ASSERT_TRUE(cb.WaitReceived(4, 10000));
    // Right after an exchange: the next poll of the interval is 5 s away.
    auto pushed = std::chrono::steady_clock::now();
    backend.Push("news");
    ASSERT_TRUE(cb.WaitReceived(8, 10000));
    EXPECT_LT(std::chrono::steady_clock::now() - pushed, std::chrono::milliseconds(2000));
    EXPECT_EQ(cb.Received(), "pingnews");
}

TEST(Gateway, WithoutHeldPollsTheIntervalsPaceTheClient) {
    EchoBackend backend;
    Gateway gw;
    ASSERT_TRUE(gw.Start(backend.Port(), {"--hold", "0"}));
    Recorder cb;
    std::unique_ptr<VemNetwork::IHttpConn> conn(ConnectClient(&cb, gw.Port()));
    ASSERT_TRUE(conn);
    const std::string sent = http_live::RandomBytes(200000, 8);
    ASSERT_EQ(conn->Send(sent.data(), int(sent.size())), NETCONN_OK);
    ASSERT_TRUE(cb.WaitReceived(sent.size(), 20000));
    backend.Push("news");
    ASSERT_TRUE(cb.WaitReceived(sent.size() + 4, 20000));
    backend.CloseAll();
    ASSERT_TRUE(cb.WaitCount(Ev::Close, 1, 20000));
    EXPECT_TRUE(cb.Received() == sent + "news");
    EXPECT_EQ(cb.Count(Ev::Error), 0);
}

TEST(Gateway, RelayThatLosesAnswersLosesNoByte) {
    EchoBackend backend;
    Gateway gw;
    ASSERT_TRUE(gw.Start(backend.Port()));
    LossyRelay relay(gw.Port(), 5);
    Recorder cb;
    std::unique_ptr<VemNetwork::IHttpConn> conn(ConnectClient(&cb, relay.Port()));
    ASSERT_TRUE(conn);
    const std::string sent = http_live::RandomBytes(1 << 20, 21);
    for (size_t at = 0; at < sent.size(); at += 40000) {
        ASSERT_EQ(conn->Send(sent.data() + at, int(std::min<size_t>(40000, sent.size() - at))), NETCONN_OK);
    }
    EXPECT_TRUE(cb.WaitReceived(sent.size(), 60000)) << cb.Received().size() << " of " << sent.size();
    EXPECT_TRUE(cb.Received() == sent) << "lost, doubled or reordered bytes";
    EXPECT_EQ(cb.Count(Ev::Error), 0);
    EXPECT_GT(relay.Dropped(), 0);
}

TEST(Gateway, IdleSessionEndsAndClosesItsBackend) {
    EchoBackend backend;
    Gateway gw;
    ASSERT_TRUE(gw.Start(backend.Port(), {"--idle-timeout", "1"}));
    std::string id = SessionOf(Post(gw.Port(), "/", "session=&data="));
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(WaitFor([&] { return backend.Accepted() == 1; }, 5000));
    EXPECT_EQ(backend.Ended(), 0);
    // No poll from here on.
    EXPECT_TRUE(WaitFor([&] { return backend.Ended() == 1; }, 10000)) << "the backend connection stayed open";
    EXPECT_EQ(Post(gw.Port(), "/", "session=" + id + "&data=").status, 404);
}

// Every refusal has its own status and text; the session opened before
// them, and the gateway, go on as before.
TEST(Gateway, RefusesBadRequestsAndKeepsServing) {
    const int kMaxSessions = 20;
    EchoBackend backend;
    Gateway gw;
    ASSERT_TRUE(gw.Start(backend.Port(),
                         {"--path", "/relay", "--max-sessions", std::to_string(kMaxSessions), "--client-rate", "1000"}));
    std::string id = SessionOf(Post(gw.Port(), "/relay", "session=&data="));
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
    EXPECT_EQ(id.size(), 32u);

    struct Bad {
        std::string target, body;
        int status;
    };
    const std::vector<Bad> bad = {
        {"/relay", "session=no-such-session&data=", 404},
        {"/elsewhere", "session=" + id + "&data=", 404},
        {"/relay", "hello", 400},
        {"/relay", "data=aGk=&session=" + id, 400},
        {"/relay", "session=" + id + "&data=a+b c", 400},
        {"/relay", "session=" + id + "&data=aGk", 400},
        {"/relay", "session=" + id + "&data=a=Gk", 400},
        {"/relay", std::string(10 << 20, 'x'), 413},
    };
    for (const Bad& b : bad) {
        gateway_test::Reply r = Post(gw.Port(), b.target, b.body);
        EXPECT_EQ(r.status, b.status) << b.body.substr(0, 60);
        EXPECT_FALSE(r.body.empty()) << "no reason given for " << b.body.substr(0, 60);
    }
    int refused = 0;
    for (int i = 0; i < kMaxSessions + 5; ++i) refused += Post(gw.Port(), "/relay", "session=&data=").status == 503;
    EXPECT_EQ(refused, 6);

    // Base64 with '+', '/', '=' and a line break, not URL-decoded.
    std::string bytes = std::string("\xfb\xff\xbf", 3) + std::string(60, 'z');
    std::string text = Base64EncodeString(bytes, 0);
    ASSERT_NE(text.find("\r\n"), std::string::npos);
    ASSERT_NE(text.find_first_of("+/"), std::string::npos);
    gateway_test::Reply echo = Post(gw.Port(), "/relay?ignored=1", "session=" + id + "&data=" + text);
    ASSERT_EQ(echo.status, 200);
    ASSERT_EQ(echo.body.compare(0, 5, "data="), 0);
    EXPECT_TRUE(Base64DecodeString(echo.body.substr(5)) == bytes) << echo.body;

    // More than one reply holds: each reply stays within what the client
    // reads in one exchange, the rest comes with the next.
    const std::string big = http_live::RandomBytes(200000, 3);
    std::string back;
    int replies = 0;
    std::string data = Base64EncodeString(big, 0);
    EXPECT_TRUE(WaitFor(
        [&] {
            gateway_test::Reply r = Post(gw.Port(), "/relay", "session=" + id + "&data=" + data);
            data.clear();
            if (r.status != 200) return true;
            EXPECT_LE(r.body.size(), 131072u);
            replies += r.body.size() > 5;
            back += Base64DecodeString(r.body.substr(5));
            return back.size() >= big.size();
        },
        10000));
    EXPECT_TRUE(back == big);
    EXPECT_GE(replies, 2);
}

// Two gateways behind HAProxy, which routes each request to the node named
// in its session identifier: every exchange of every session meets its own
// session (a request on the other node would end it with 404).
TEST(Gateway, HaproxyKeepsEachSessionOnItsNode) {
    std::string haproxy = gateway_test::FindProgram("haproxy");
    if (haproxy.empty()) GTEST_SKIP() << "haproxy is not installed";
    EchoBackend backend;
    Gateway gw1, gw2;
    ASSERT_TRUE(gw1.Start(backend.Port(), {"--node", "gw1"}));
    ASSERT_TRUE(gw2.Start(backend.Port(), {"--node", "gw2"}));
    int front = gateway_test::FreePort();
    ASSERT_GT(front, 0);

    std::ifstream in(std::string(VEMNET_GATEWAY_TEST_DIR) + "/haproxy.cfg");
    std::string config((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::map<std::string, int> ports = {{"@FRONT@", front}, {"@GW1@", gw1.Port()}, {"@GW2@", gw2.Port()}};
    for (const auto& p : ports) {
        size_t at = config.find(p.first);
        ASSERT_NE(at, std::string::npos) << p.first;
        config.replace(at, p.first.size(), std::to_string(p.second));
    }
    std::string path = testing::TempDir() + "gateway-haproxy-" + std::to_string(getpid()) + ".cfg";
    std::ofstream(path) << config;
    testing_support::ChildProcess lb;
    ASSERT_TRUE(lb.Start({haproxy, "-db", "-f", path}));
    ASSERT_TRUE(WaitFor([&] { return Post(front, "/", "session=x&data=").status == 404; }, 10000))
        << "haproxy did not come up: " << lb.Stderr();

    const int kSessions = 20;
    const int kRounds = 5;
    std::vector<std::unique_ptr<Recorder>> cbs;
    std::vector<std::unique_ptr<VemNetwork::IHttpConn>> conns;
    for (int i = 0; i < kSessions; ++i) {
        cbs.emplace_back(new Recorder);
        conns.emplace_back(ConnectClient(cbs.back().get(), front));
        ASSERT_TRUE(conns.back());
    }
    std::vector<std::string> expected(kSessions);
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kSessions; ++i) {
            std::string m = "session " + std::to_string(i) + " round " + std::to_string(round) + ";";
            expected[i] += m;
            ASSERT_EQ(conns[i]->Send(m.data(), int(m.size())), NETCONN_OK);
        }
        for (int i = 0; i < kSessions; ++i) {
            ASSERT_TRUE(cbs[i]->WaitReceived(expected[i].size(), 30000)) << "session " << i << " round " << round;
        }
    }
    for (int i = 0; i < kSessions; ++i) {
        EXPECT_EQ(cbs[i]->Received(), expected[i]);
        EXPECT_EQ(cbs[i]->Count(Ev::Error), 0) << "session " << i;
    }
    // Both nodes took new sessions, each under its own name only.
    std::string log1 = gw1.Log(), log2 = gw2.Log();
    EXPECT_NE(log1.find("-gw1 opened"), std::string::npos) << log1;
    EXPECT_NE(log2.find("-gw2 opened"), std::string::npos) << log2;
    EXPECT_EQ(log1.find("-gw2"), std::string::npos);
    EXPECT_EQ(log2.find("-gw1"), std::string::npos);
    EXPECT_EQ(backend.Accepted(), kSessions);
    std::remove(path.c_str());
}

// Slow uploads of declared 4 MiB bodies hold only what the shared budget
// allows (the rest are refused), and a live session goes on meanwhile.
TEST(Gateway, SlowUploadFloodLeavesMemoryBoundedAndTheNodeUp) {
    const int kUploads = 128;
    const size_t kSentEach = 1 << 20;
    EchoBackend backend;
    Gateway gw;
    ASSERT_TRUE(gw.Start(backend.Port(), {"--request-memory", "8", "--max-connections", "400"}));
    std::string id = SessionOf(Post(gw.Port(), "/", "session=&data="));
    ASSERT_FALSE(id.empty());
    long before = gw.RssKiB();
    ASSERT_GT(before, 0);

    asio::io_context io;
    std::vector<std::unique_ptr<gateway_test::tcp::socket>> uploads;
    const std::string header = "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 4194304\r\n\r\nsession=" + id + "&data=";
    const std::string chunk(kSentEach, 'A');
    for (int i = 0; i < kUploads; ++i) {
        uploads.push_back(gateway_test::Open(io, gw.Port()));
        boost::system::error_code ec;
        asio::write(*uploads.back(), asio::buffer(header), ec);
        asio::write(*uploads.back(), asio::buffer(chunk), ec);  // refused ones may be reset: ignored
    }
    long during = gw.RssKiB();
    EXPECT_LT(during - before, 48L << 10) << "RSS went from " << before << " to " << during << " KiB";
    Reply echo = Post(gw.Port(), "/", "session=" + id + "&data=aGk=");
    EXPECT_EQ(echo.status, 200);
    EXPECT_EQ(echo.body, "data=aGk=");
    EXPECT_NE(gw.Log().find("\" 503 "), std::string::npos) << "no upload was refused";
}

TEST(Gateway, SlowSenderGets408) {
    EchoBackend backend;
    Gateway gw;
    ASSERT_TRUE(gw.Start(backend.Port(), {"--header-timeout", "1", "--body-timeout", "1"}));
    const std::vector<std::string> partial = {"POST / HTTP/1.1\r\nHost: x\r\n",
                                              "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\nsession="};
    for (const std::string& sent : partial) {
        asio::io_context io;
        auto s = gateway_test::Open(io, gw.Port());
        asio::write(*s, asio::buffer(sent));
        boost::beast::flat_buffer buffer;
        http::response<http::string_body> res;
        boost::system::error_code ec;
        http::read(*s, buffer, res, ec);
        EXPECT_FALSE(ec) << ec.message() << " after " << sent;
        EXPECT_EQ(res.result_int(), 408) << sent;
    }
}

// At the connection cap the gateway stops accepting: new connections wait
// in the backlog and are served once the header timeout frees the idle
// ones, instead of being accepted and closed.
TEST(Gateway, IdleSocketsAtTheCapDoNotStopANewClient) {
    EchoBackend backend;
    Gateway gw;
    // The cap is --max-sessions + 256 connections.
    ASSERT_TRUE(gw.Start(backend.Port(), {"--max-sessions", "1", "--header-timeout", "1"}));
    asio::io_context io;
    std::vector<std::unique_ptr<gateway_test::tcp::socket>> idle;
    for (int i = 0; i < 300; ++i) idle.push_back(gateway_test::Open(io, gw.Port()));
    EXPECT_FALSE(SessionOf(Post(gw.Port(), "/", "session=&data=")).empty());
}

// Behind a trusted proxy each X-Forwarded-For address has its own share.
TEST(Gateway, OneClientCannotTakeEverySession) {
    EchoBackend backend;
    Gateway gw;
    ASSERT_TRUE(gw.Start(backend.Port(),
                         {"--max-sessions", "20", "--client-sessions", "5", "--trusted-proxy", "127.0.0.1"}));
    std::map<int, int> statuses;
    for (int i = 0; i < 25; ++i) {
        statuses[Post(gw.Port(), "/", "session=&data=", {{"X-Forwarded-For", "192.0.2.1, 10.0.0.1"}}).status]++;
    }
    EXPECT_EQ(statuses[200], 5);
    EXPECT_EQ(statuses[429], 20);
    EXPECT_FALSE(SessionOf(Post(gw.Port(), "/", "session=&data=", {{"X-Forwarded-For", "10.0.0.2"}})).empty());
    EXPECT_NE(gw.Log().find("10.0.0.1"), std::string::npos) << "the log does not name the client";
}

TEST(Gateway, SigtermDrains) {
    EchoBackend backend;
    Gateway gw;
    ASSERT_TRUE(gw.Start(backend.Port(), {"--idle-timeout", "2", "--drain-timeout", "30"}));
    std::string id = SessionOf(Post(gw.Port(), "/", "session=&data="));
    ASSERT_FALSE(id.empty());
    gw.Signal(SIGTERM);
    ASSERT_TRUE(WaitFor([&] { return gateway_test::Send(gw.Port(), http::verb::get, "/healthz", "").status == 410; },
                        5000));
    EXPECT_EQ(Post(gw.Port(), "/", "session=&data=").status, 503);
    Reply echo = Post(gw.Port(), "/", "session=" + id + "&data=aGk=");
    EXPECT_EQ(echo.status, 200);
    EXPECT_EQ(echo.body, "data=aGk=");
    // The session ends when its client stops polling; then the process.
    EXPECT_EQ(gw.Wait(15000), 0) << gw.Log();
}

TEST(Gateway, HealthzReportsFull) {
    EchoBackend backend;
    Gateway gw;
    ASSERT_TRUE(gw.Start(backend.Port(), {"--max-sessions", "2"}));
    Reply ready = gateway_test::Send(gw.Port(), http::verb::get, "/healthz", "");
    EXPECT_EQ(ready.status, 200);
    EXPECT_EQ(ready.body, "ready\n");
    for (int i = 0; i < 2; ++i) ASSERT_FALSE(SessionOf(Post(gw.Port(), "/", "session=&data=")).empty());
    Reply full = gateway_test::Send(gw.Port(), http::verb::get, "/healthz", "");
    EXPECT_EQ(full.status, 503);
    EXPECT_EQ(full.body, "full\n");
}

// A reply to HEAD has no body, so the next reply on the connection is read
// where it begins.
TEST(Gateway, HeadIsFramed) {
    EchoBackend backend;
    Gateway gw;
    ASSERT_TRUE(gw.Start(backend.Port()));
    asio::io_context io;
    auto s = gateway_test::Open(io, gw.Port());
    asio::write(*s, asio::buffer(std::string("HEAD / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n"
                                             "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n")));
    boost::beast::flat_buffer buffer;
    http::response_parser<http::string_body> head;
    head.skip(true);
    boost::system::error_code ec;
    http::read(*s, buffer, head, ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_EQ(head.get().result_int(), 400);
    http::response<http::string_body> next;
    http::read(*s, buffer, next, ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_EQ(next.result_int(), 200);
    EXPECT_EQ(next.body(), "ready\n");
}

}  // namespace
