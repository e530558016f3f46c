// TcpNetConn through proxies of the test's own that answer with chosen bytes:
// the handshake phase, held-back bytes, reconnects, timers, failures and the
// system proxy setting.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <chrono>
#include <memory>
#include <cstdlib>
#include <string>
#include <thread>

#include "conn/route/failed_proxies.h"
#include "conn/route/proxy_record.h"
#include "conn/route/system_proxy.h"
#include "frame/default_frame.h"
#include "tests/conn/conn_harness.h"
#include "tests/support/raw_sockets.h"

using namespace conn_harness;
using testing_support::WaitFor;
using VemNetwork::ProxyInfo;

namespace {

const char k200[] = "HTTP/1.1 200 Connection established\r\n\r\n";
const char k407Basic[] =
    "HTTP/1.1 407 Proxy Authentication Required\r\n"
    "Proxy-Authenticate: Basic realm=\"test\"\r\n"
    "Content-Length: 0\r\n\r\n";
// Base64 of "vemuser:vempass".
const char kBasicToken[] = "dmVtdXNlcjp2ZW1wYXNz";

std::string Port16(int port) {
    std::string s;
    s += char((port >> 8) & 0xff);
    s += char(port & 0xff);
    return s;
}

// A SOCKS5 proxy that checks each message byte for byte and then echoes.
// user empty: no authentication is offered or asked for.
// gate, when given, holds the connect reply back until it is set (then Pump).
TestServer::Script Socks5Script(const std::string& host, int port, const std::string& user,
                                const std::string& password, char connectReply = 0x00,
                                std::shared_ptr<std::atomic<bool>> gate = nullptr) {
    return [=](ServerConn& c, const std::string& in) -> size_t {
        if (c.step == 0) {
            std::string greeting = std::string("\x05\x01", 2) + (user.empty() ? '\x00' : '\x02');
            if (in.size() < 3) return 0;
            if (in.substr(0, 3) != greeting) {
                c.Close();
                return in.size();
            }
            c.Send(std::string("\x05", 1) + (user.empty() ? '\x00' : '\x02'));
            c.step = user.empty() ? 2 : 1;
            return 3;
        }
        if (c.step == 1) {
            std::string auth = std::string("\x01", 1) + char(user.size()) + user + char(password.size()) + password;
            if (in.size() < auth.size()) return 0;
            bool ok = in.substr(0, auth.size()) == auth;
            c.Send(ok ? std::string("\x01\x00", 2) : std::string("\x01\x01", 2));
            c.step = 2;
            return auth.size();
        }
        std::string request = std::string("\x05\x01\x00\x03", 4) + char(host.size()) + host + Port16(port);
        if (in.size() < request.size()) return 0;
        if (in.substr(0, request.size()) != request) {
            c.Close();
            return in.size();
        }
        if (gate && !*gate) return 0;
        c.Send(std::string("\x05", 1) + connectReply + std::string("\x00\x01\x7f\x00\x00\x01\x00\x00", 8));
        c.tunnel = connectReply == 0;
        return request.size();
    };
}

TestServer::Script Socks4Script(const std::string& host, int port) {
    return [=](ServerConn& c, const std::string& in) -> size_t {
        std::string request = std::string("\x04\x01", 2) + Port16(port) + std::string("\x00\x00\x00\x01\x00", 5) +
                              host + std::string(1, '\0');
        if (in.size() < request.size()) return 0;
        if (in.substr(0, request.size()) != request) {
            c.Close();
            return in.size();
        }
        c.Send(std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8));
        c.tunnel = true;
        return request.size();
    };
}

// ---- HTTP CONNECT ------------------------------------------------------------

TEST(HttpProxyConnection, PlainTunnelHoldsBackBytesUntilUp) {
    // Answers only when told to, so that the host's first Send surely falls
    // into the handshake.
    TestServer proxy([](ServerConn&, const std::string& in) -> size_t {
        size_t end = RequestEnd(in);
        return end == std::string::npos ? 0 : end;
    });
    Recorder host;
    XorCodec codec;
    ConnPtr conn = MakeConn(&host, &codec);
    ProxyInfo p = Proxy(4, proxy.port());
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 4242, 5000, &p));
    EXPECT_FALSE(conn->IsConnected());
    ASSERT_EQ(0, conn->Send("before", 6));
    ASSERT_TRUE(proxy.WaitReceived(0, 20));
    EXPECT_FALSE(conn->IsConnected());
    proxy.With(0, [](ServerConn& c) {
        c.Send(k200);
        c.tunnel = true;
    });
    ASSERT_TRUE(host.WaitEvent('C'));
    EXPECT_EQ("C0", host.Outcomes());
    EXPECT_TRUE(conn->IsConnected());
    ASSERT_EQ(0, conn->Send("after", 5));
    ASSERT_TRUE(WaitFor([&] { return proxy.Received(0).find(codec.Apply("after")) != std::string::npos; }));
    std::string wire = proxy.Received(0);
    size_t end = RequestEnd(wire);
    ASSERT_NE(std::string::npos, end);
    EXPECT_EQ(0u, wire.find("CONNECT 127.0.0.1:4242 HTTP/1.1\r\n"));
    // Held-back bytes first, through the codec like every later byte.
    EXPECT_EQ(codec.Apply("before") + codec.Apply("after"), wire.substr(end));
    // The echo of both comes back through the codec.
    ASSERT_TRUE(host.WaitData(11));
    EXPECT_EQ("beforeafter", host.Data());
}

TEST(HttpProxyConnection, BasicCostsASecondConnectionAndTheHostSeesNothingInBetween) {
    TestServer proxy(HttpProxyScript([](int index, const std::string&) {
        return std::string(index == 0 ? k407Basic : k200);
    }));
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p = Proxy(4, proxy.port(), L"vemuser", L"vempass");
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 4243, 5000, &p));
    ASSERT_EQ(0, conn->Send("held", 4));
    ASSERT_TRUE(host.WaitEvent('C'));
    EXPECT_EQ("C0", host.Outcomes());
    EXPECT_EQ(2, proxy.Connections());
    std::string first = proxy.Received(0), second = proxy.Received(1);
    EXPECT_EQ(std::string::npos, first.find("Proxy-Authorization"));
    EXPECT_NE(std::string::npos, second.find(std::string("Proxy-Authorization: Basic ") + kBasicToken + "\r\n"));
    // The held-back bytes waited for the tunnel: none went to the first connection.
    EXPECT_EQ(RequestEnd(first), first.size());
    ASSERT_TRUE(host.WaitData(4));
    EXPECT_EQ("held", host.Data());
    ASSERT_TRUE(WaitFor([&] {
        second = proxy.Received(1);
        return second.size() >= RequestEnd(second) + 4;
    }));
    EXPECT_EQ("held", second.substr(RequestEnd(second)));
}

// squid cannot be brought to call a nonce stale at its first use, so this
// proxy does: the same credentials go again, once, with the new nonce.
TEST(HttpProxyConnection, DigestStaleNonceIsAnsweredOnceMoreWithTheNewNonce) {
    const auto digest = [](const char* nonce, bool stale) {
        return std::string("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Digest realm=\"r\", "
                           "nonce=\"") + nonce + "\", qop=\"auth\", stale=" + (stale ? "true" : "false") +
               "\r\nContent-Length: 0\r\n\r\n";
    };
    TestServer proxy(HttpProxyScript([&](int index, const std::string& request) {
        if (index == 0) return digest("n1", false);
        if (index == 1 && request.find("nonce=\"n1\"") != std::string::npos) return digest("n2", true);
        if (index == 2 && request.find("nonce=\"n2\"") != std::string::npos) return std::string(k200);
        return digest("n3", true);
    }));
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p = Proxy(4, proxy.port(), L"vemuser", L"vempass");
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 4243, 5000, &p));
    ASSERT_TRUE(host.WaitOutcome(5000));
    EXPECT_EQ("C0", host.Outcomes());
    EXPECT_EQ(3, proxy.Connections());
}

TEST(HttpProxyConnection, TunnelBytesInTheReplysReadReachTheHostAtOnce) {
    // A server that speaks first: its greeting comes in one write with the 200.
    TestServer proxy([](ServerConn& c, const std::string& in) -> size_t {
        size_t end = RequestEnd(in);
        if (end == std::string::npos) return 0;
        c.Send(std::string(k200) + "WELCOME");
        c.tunnel = true;
        return end;
    });
    Recorder host;
    XorCodec codec;
    ConnPtr conn = MakeConn(&host, &codec);
    ProxyInfo p = Proxy(4, proxy.port());
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 4244, 5000, &p));
    ASSERT_TRUE(host.WaitData(7, 3000));
    EXPECT_EQ(codec.Apply("WELCOME"), host.Data());
    EXPECT_EQ("C0", host.Outcomes());
}

TEST(HttpProxyConnection, HostMayDeleteTheConnectionInsideOnConnect) {
    TestServer proxy([](ServerConn& c, const std::string& in) -> size_t {
        size_t end = RequestEnd(in);
        if (end == std::string::npos) return 0;
        c.Send(std::string(k200) + "TRAILING");
        return end;
    });
    Recorder host;
    VemNetwork::INetConn* raw = nullptr;
    CreateBaseConn(&raw, &host, nullptr);
    std::atomic<bool> deleted(false);
    host.onConnect = [&](int) {
        delete raw;
        deleted = true;
    };
    ProxyInfo p = Proxy(4, proxy.port());
    ASSERT_EQ(0, raw->Connect(L"127.0.0.1", 4245, 5000, &p));
    ASSERT_TRUE(WaitFor([&] { return deleted.load(); }));
    ASSERT_TRUE(host.WaitEvent('C'));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The bytes behind the 200 are not handed to a deleted connection's host.
    EXPECT_EQ("", host.Data());
}

TEST(HttpProxyConnection, FailuresOfTheHandshakeAreErrorSix) {
    struct Case {
        const char* name;
        const char* reply;
        std::wstring user;
    } cases[] = {
        {"refused", "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n", L"vemuser"},
        {"no user", k407Basic, L""},
        {"no scheme", "HTTP/1.1 407 Auth\r\nProxy-Authenticate: Digest realm=\"x\"\r\n\r\n", L"vemuser"},
        {"no header", "HTTP/1.1 407 Auth\r\nContent-Length: 0\r\n\r\n", L"vemuser"},
    };
    for (const Case& c : cases) {
        std::string reply = c.reply;
        TestServer proxy(HttpProxyScript([reply](int, const std::string&) { return reply; }));
        Recorder host;
        ConnPtr conn = MakeConn(&host);
        ProxyInfo p = Proxy(4, proxy.port(), c.user, L"vempass");
        {
            // Keeps the handshake from ending before the Send.
            FrameGuard guard(GetDefaultFrame());
            ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 4246, 5000, &p));
            ASSERT_EQ(0, conn->Send("never", 5));
        }
        ASSERT_TRUE(host.WaitOutcome()) << c.name;
        EXPECT_EQ("E6", host.Outcomes()) << c.name;
        EXPECT_FALSE(conn->IsConnected());
        EXPECT_EQ(3, conn->Send("x", 1));
        EXPECT_EQ(1, proxy.Connections()) << c.name;
        std::string wire = proxy.Received(0);
        EXPECT_EQ(RequestEnd(wire), wire.size()) << c.name;
    }
}

TEST(HttpProxyConnection, ProxyPortWithNothingListeningGivesConnectFour) {
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p = Proxy(4, DeadPort());
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 80, 5000, &p));
    ASSERT_TRUE(host.WaitOutcome());
    EXPECT_EQ("C4", host.Outcomes());
    EXPECT_FALSE(conn->IsConnected());
}

TEST(HttpProxyConnection, SilentProxyEndsWithConnectFourAfterTheTimeout) {
    TestServer proxy(TestServer::Script(), true);   // accepts, never reads or answers
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p = Proxy(4, proxy.port());
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 80, 600, &p));
    ASSERT_TRUE(host.WaitOutcome(10000));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ("C4", host.Outcomes());
    EXPECT_GE(elapsed, std::chrono::milliseconds(500));
    EXPECT_FALSE(conn->IsConnected());
}

TEST(HttpProxyConnection, SilentProxyWithZeroTimeoutStillEnds) {
    TestServer proxy(TestServer::Script(), true);
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p = Proxy(4, proxy.port());
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 80, 0, &p));
    // The default handshake limit of 10 s applies.
    ASSERT_TRUE(host.WaitOutcome(15000));
    EXPECT_EQ("C4", host.Outcomes());
}

TEST(HttpProxyConnection, ProxyClosingMidHandshakeIsConnectFourOnce) {
    TestServer proxy([](ServerConn& c, const std::string& in) -> size_t {
        c.Close();
        return in.size();
    });
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p = Proxy(4, proxy.port());
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 80, 5000, &p));
    ASSERT_TRUE(host.WaitOutcome());
    EXPECT_EQ("C4", host.Outcomes());
    EXPECT_FALSE(conn->IsConnected());
}

TEST(HttpProxyConnection, OversizedReplyIsErrorSix) {
    const std::string hugeBody = "HTTP/1.1 407 Denied\r\nProxy-Authenticate: Basic\r\n"
                                 "Content-Length: 1048576\r\n\r\n" + std::string(1048576, 'x');
    const std::string hugeHeader = "HTTP/1.1 407 Denied\r\nX-Pad: " + std::string(1048576, 'y');
    for (const std::string& reply : {hugeBody, hugeHeader}) {
        TestServer proxy(HttpProxyScript([&](int, const std::string&) { return reply; }));
        Recorder host;
        ConnPtr conn = MakeConn(&host);
        ProxyInfo p = Proxy(4, proxy.port(), L"vemuser", L"vempass");
        ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 80, 5000, &p));
        ASSERT_TRUE(host.WaitOutcome());
        EXPECT_EQ("E6", host.Outcomes());
    }
}

TEST(HttpProxyConnection, ProxySilentAfterTheReconnectAlsoEndsTheAttempt) {
    TestServer proxy(HttpProxyScript([](int index, const std::string&) {
        return index == 0 ? std::string(k407Basic) : std::string();
    }));
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p = Proxy(4, proxy.port(), L"vemuser", L"vempass");
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 80, 600, &p));
    ASSERT_TRUE(host.WaitOutcome(10000));
    EXPECT_EQ("C4", host.Outcomes());
    EXPECT_EQ(2, proxy.Connections());
}

TEST(HttpProxyConnection, ZeroTimeoutHandshakeWithReconnect) {
    TestServer proxy(HttpProxyScript([](int index, const std::string&) {
        return std::string(index == 0 ? k407Basic : k200);
    }));
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p = Proxy(4, proxy.port(), L"vemuser", L"vempass");
    // Both connects to the proxy complete inside the factory, the first on
    // this thread, the second on the frame's, inside the reply's handling.
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 4247, 0, &p));
    ASSERT_TRUE(proxy.WaitReceived(0, 10));
    ASSERT_EQ(0, conn->Send("zero", 4));
    ASSERT_TRUE(host.WaitEvent('C'));
    EXPECT_EQ("C0", host.Outcomes());
    ASSERT_TRUE(host.WaitData(4));
    EXPECT_EQ("zero", host.Data());
    EXPECT_EQ(2, proxy.Connections());
}

TEST(HttpProxyConnection, PendingHoldsUpTo131072Bytes) {
    // Answers only when told to.
    TestServer proxy([](ServerConn& c, const std::string& in) -> size_t {
        size_t end = RequestEnd(in);
        return end == std::string::npos ? 0 : end;
    });
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p = Proxy(4, proxy.port());
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 4248, 5000, &p));
    std::string held = Pattern(131072, 5);
    for (size_t off = 0; off < held.size(); off += 4096) ASSERT_EQ(0, conn->Send(held.data() + off, 4096));
    EXPECT_EQ(1, conn->Send("!", 1));
    EXPECT_EQ(1, conn->Send(held.data(), 4096));
    ASSERT_TRUE(proxy.WaitReceived(0, 20));
    proxy.With(0, [](ServerConn& c) {
        c.Send(k200);
        c.tunnel = true;
    });
    ASSERT_TRUE(host.WaitEvent('C'));
    // Exactly what was accepted, in order: the refused Sends left it alone.
    ASSERT_TRUE(host.WaitData(held.size(), 10000));
    EXPECT_TRUE(host.Data() == held);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(held.size(), host.Data().size());
}

TEST(HttpProxyConnection, HostConnectStartsAFreshHandshake) {
    // First attempt: Basic is asked for and then refused.
    TestServer refusing(HttpProxyScript([](int index, const std::string&) {
        return std::string(index == 0 ? k407Basic : "HTTP/1.1 403 Forbidden\r\n\r\n");
    }));
    TestServer open(HttpProxyScript([](int, const std::string&) { return std::string(k200); }));
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p = Proxy(4, refusing.port(), L"vemuser", L"vempass");
    {
        FrameGuard guard(GetDefaultFrame());
        ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 4249, 5000, &p));
        ASSERT_EQ(0, conn->Send("OLD", 3));
    }
    ASSERT_TRUE(host.WaitOutcome());
    EXPECT_EQ("E6", host.Outcomes());

    ProxyInfo q = Proxy(4, open.port(), L"vemuser", L"vempass");
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 4249, 5000, &q));
    ASSERT_EQ(0, conn->Send("NEW", 3));
    ASSERT_TRUE(WaitFor([&] { return host.Count('C') == 1; }));
    ASSERT_TRUE(host.WaitData(3));
    std::string wire = open.Received(0);
    // Plain request first, as for any new attempt, and only the new bytes.
    EXPECT_EQ(std::string::npos, wire.substr(0, RequestEnd(wire)).find("Proxy-Authorization"));
    EXPECT_EQ("NEW", wire.substr(RequestEnd(wire)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ("NEW", host.Data());
}

TEST(HttpProxyConnection, PeerCloseAfterTheTunnelReachesTheHost) {
    TestServer proxy(HttpProxyScript([](int, const std::string&) { return std::string(k200); }));
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p = Proxy(4, proxy.port());
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 4250, 5000, &p));
    ASSERT_TRUE(host.WaitEvent('C'));
    proxy.With(0, [](ServerConn& c) { c.Close(); });
    ASSERT_TRUE(host.WaitEvent('X'));
    EXPECT_EQ("C0 X", host.Outcomes());
}

// ---- other kinds ---------------------------------------------------------------

TEST(SocksProxyConnection, Socks5WithAndWithoutCredentials) {
    for (int withUser = 0; withUser < 2; ++withUser) {
        std::string user = withUser ? "vemuser" : "";
        auto gate = std::make_shared<std::atomic<bool>>(false);
        TestServer proxy(Socks5Script("127.0.0.1", 5151, user, "vempass", 0x00, gate));
        Recorder host;
        XorCodec codec;
        ConnPtr conn = MakeConn(&host, &codec);
        ProxyInfo p = Proxy(3, proxy.port(), withUser ? L"vemuser" : L"", L"vempass");
        ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 5151, 5000, &p));
        ASSERT_EQ(0, conn->Send("first", 5));
        *gate = true;
        proxy.Pump(0);
        ASSERT_TRUE(host.WaitEvent('C'));
        EXPECT_EQ("C0", host.Outcomes());
        ASSERT_EQ(0, conn->Send("second", 6));
        ASSERT_TRUE(host.WaitData(11));
        EXPECT_EQ("firstsecond", host.Data());
    }
}

// The target greets at once: its bytes come in the read of the proxy's
// reply and reach the host, in order, before anything later.
TEST(SocksProxyConnection, TargetBytesBehindTheReplyReachTheHost) {
    const std::string ok4 = std::string("\x00\x5a\x00\x00\x00\x00\x00\x00", 8);
    const std::string ok5 = std::string("\x05\x00\x00\x03\x09", 5) + "localhost" + Port16(25);
    for (int type : {1, 3}) {
        TestServer proxy([&](ServerConn& c, const std::string& in) -> size_t {
            if (type == 3 && c.step == 0) {
                if (in.size() < 3) return 0;
                c.Send(std::string("\x05\x00", 2));
                c.step = 1;
                return 3;
            }
            c.Send((type == 1 ? ok4 : ok5) + "220 ready\r\n");
            c.tunnel = true;
            return in.size();
        });
        Recorder host;
        ConnPtr conn = MakeConn(&host);
        ProxyInfo p = Proxy(type, proxy.port());
        ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 25, 5000, &p));
        ASSERT_TRUE(host.WaitData(11));
        EXPECT_EQ("C0", host.Outcomes());
        EXPECT_EQ("220 ready\r\n", host.Data());
    }
}

TEST(SocksProxyConnection, Socks5RefusalsAreErrorSix) {
    {
        // Wrong password.
        TestServer proxy(Socks5Script("127.0.0.1", 5152, "vemuser", "right"));
        Recorder host;
        ConnPtr conn = MakeConn(&host);
        ProxyInfo p = Proxy(3, proxy.port(), L"vemuser", L"wrong");
        ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 5152, 5000, &p));
        ASSERT_TRUE(host.WaitOutcome());
        EXPECT_EQ("E6", host.Outcomes());
    }
    {
        // Connect refused by the proxy (reply code 5).
        TestServer proxy(Socks5Script("127.0.0.1", 5153, "", "", 0x05));
        Recorder host;
        ConnPtr conn = MakeConn(&host);
        ProxyInfo p = Proxy(3, proxy.port());
        ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 5153, 5000, &p));
        ASSERT_TRUE(host.WaitOutcome());
        EXPECT_EQ("E6", host.Outcomes());
    }
}

TEST(SocksProxyConnection, FieldsTooLongForSocksFailAtOnce) {
    std::wstring longName(300, L'a');
    struct Case {
        const char* name;
        int type;
        std::wstring host, user;
    } cases[] = {
        {"socks5 host", 3, longName + L".example", L""},
        {"socks5 user", 3, L"127.0.0.1", longName},
        {"socks4 host", 1, longName + L".example", L""},
    };
    for (const Case& c : cases) {
        TestServer proxy([](ServerConn&, const std::string& in) -> size_t { return in.size(); });
        Recorder host;
        ConnPtr conn = MakeConn(&host);
        ProxyInfo p = Proxy(c.type, proxy.port(), c.user, L"vempass");
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(0, conn->Connect(c.host, 80, 8000, &p));
        ASSERT_TRUE(host.WaitOutcome(5000)) << c.name;
        // Well before the handshake timer.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4000)) << c.name;
        EXPECT_EQ("E6", host.Outcomes()) << c.name;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ("", proxy.Received(0)) << c.name;
    }
}

TEST(SocksProxyConnection, Socks4ForBothOfItsTypes) {
    for (int type = 1; type <= 2; ++type) {
        TestServer proxy(Socks4Script("127.0.0.1", 4444));
        Recorder host;
        ConnPtr conn = MakeConn(&host);
        ProxyInfo p = Proxy(type, proxy.port(), L"ignored");
        ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 4444, 5000, &p));
        ASSERT_EQ(0, conn->Send("four", 4));
        ASSERT_TRUE(host.WaitEvent('C')) << type;
        EXPECT_EQ("C0", host.Outcomes());
        ASSERT_TRUE(host.WaitData(4));
        EXPECT_EQ("four", host.Data());
    }
}

TEST(SocksProxyConnection, ZeroTimeoutSocks5) {
    TestServer proxy(Socks5Script("127.0.0.1", 5154, "vemuser", "vempass"));
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p = Proxy(3, proxy.port(), L"vemuser", L"vempass");
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 5154, 0, &p));
    // The greeting went out on the socket the factory had not yet returned.
    ASSERT_TRUE(proxy.WaitReceived(0, 3));
    ASSERT_TRUE(host.WaitEvent('C'));
    EXPECT_EQ("C0", host.Outcomes());
}

TEST(OtherProxyKinds, UnsupportedTypeIsConnectFiveOnceTheProxyAnswers) {
    TestServer proxy(TestServer::Script(), true);
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p = Proxy(7, proxy.port());
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 80, 5000, &p));
    ASSERT_TRUE(host.WaitOutcome());
    EXPECT_EQ("C5", host.Outcomes());
    // The TCP connection was made (the server may accept it only now).
    EXPECT_TRUE(proxy.WaitConnections(1));
    EXPECT_FALSE(conn->IsConnected());
}

// ---- the system's setting (type 5) --------------------------------------------

#ifndef _WIN32
// The setting comes from the environment on this platform.
class SystemProxyEnv : public ::testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override {
        Clear();
        VemNetwork::SetProxyAnswerSource(nullptr);
        OpenGate();
    }
    static void OpenGate();
    static void Clear() {
        // Proxies that failed in an earlier case would change this one's order.
        VemNetwork::FailedProxies::OfProcess().Clear();
        for (const char* v : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                              "no_proxy", "NO_PROXY"})
            unsetenv(v);
    }
};

TEST_F(SystemProxyEnv, NothingSetConnectsDirectly) {
    TestServer echo;
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p;
    p.type = 5;
    p.host = L"stale";
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", echo.port(), 5000, &p));
    EXPECT_TRUE(conn->IsConnected());
    EXPECT_EQ(L"", p.host);
    ASSERT_TRUE(host.WaitEvent('C'));
    ASSERT_EQ(0, conn->Send("direct", 6));
    ASSERT_TRUE(host.WaitData(6));
    EXPECT_EQ("direct", echo.Received(0));
}

TEST_F(SystemProxyEnv, FirstCandidateRefusesSecondCarries) {
    int dead = DeadPort();
    TestServer socks(Socks4Script("127.0.0.1", 6060));
    std::string http = "http://127.0.0.1:" + std::to_string(dead) + "/";
    std::string all = "socks4a://127.0.0.1:" + std::to_string(socks.port());
    setenv("http_proxy", http.c_str(), 1);
    setenv("all_proxy", all.c_str(), 1);
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p;
    p.type = 5;
    {
        // The record is the host's again once the outcome is known.
        FrameGuard guard(GetDefaultFrame());
        ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 6060, 5000, &p));
        // The caller's record became the first entry.
        EXPECT_EQ(4, p.type);
        EXPECT_EQ(L"127.0.0.1", p.host);
        EXPECT_EQ(dead, p.port);
        ASSERT_EQ(0, conn->Send("via socks", 9));
    }
    ASSERT_TRUE(host.WaitOutcome());
    EXPECT_EQ("C0", host.Outcomes());
    ASSERT_TRUE(host.WaitData(9));
    EXPECT_EQ("via socks", host.Data());
    EXPECT_EQ(1, socks.Connections());
    // ... and names the one that carried the connection.
    EXPECT_EQ(1, p.type);
    EXPECT_EQ(socks.port(), p.port);
}

TEST_F(SystemProxyEnv, Socks5SchemeIsSpokenAsSocks5) {
    TestServer socks(Socks5Script("127.0.0.1", 6061, "", ""));
    setenv("all_proxy", ("socks5h://127.0.0.1:" + std::to_string(socks.port())).c_str(), 1);
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p;
    p.type = 5;
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 6061, 5000, &p));
    EXPECT_EQ(3, p.type);
    ASSERT_TRUE(host.WaitOutcome());
    EXPECT_EQ("C0", host.Outcomes());
}

TEST_F(SystemProxyEnv, NoProxyNamesTheTargetGoesDirect) {
    TestServer echo;
    const std::string dead = "http://127.0.0.1:" + std::to_string(DeadPort());
    setenv("http_proxy", dead.c_str(), 1);
    setenv("NO_PROXY", "example.com, .local.test,127.0.0.1", 1);
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p;
    p.type = 5;
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", echo.port(), 5000, &p));
    EXPECT_TRUE(conn->IsConnected());
    ASSERT_TRUE(host.WaitOutcome());
    EXPECT_EQ("C0", host.Outcomes());
    EXPECT_EQ(1, echo.Connections());
}

TEST_F(SystemProxyEnv, AllCandidatesRefusingGiveOneConnectFour) {
    std::string http = "127.0.0.1:" + std::to_string(DeadPort());
    std::string all = "socks://127.0.0.1:" + std::to_string(DeadPort());
    setenv("http_proxy", http.c_str(), 1);
    setenv("ALL_PROXY", all.c_str(), 1);
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p;
    p.type = 5;
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 80, 5000, &p));
    ASSERT_TRUE(host.WaitOutcome());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ("C4", host.Outcomes());
}

TEST_F(SystemProxyEnv, LeftoverCandidatesDoNotOutliveTheirConnect) {
    // A type-5 attempt that succeeds on its first entry leaves the second in
    // the list; a later Connect to another, dead proxy must not fall back on it.
    TestServer open(HttpProxyScript([](int, const std::string&) { return std::string(k200); }));
    TestServer spare(HttpProxyScript([](int, const std::string&) { return std::string(k200); }));
    std::string http = "127.0.0.1:" + std::to_string(open.port());
    std::string all = "socks://127.0.0.1:" + std::to_string(spare.port());
    setenv("http_proxy", http.c_str(), 1);
    setenv("all_proxy", all.c_str(), 1);
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p;
    p.type = 5;
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 80, 5000, &p));
    ASSERT_TRUE(host.WaitEvent('C'));
    ProxyInfo dead = Proxy(4, DeadPort());
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 80, 5000, &dead));
    ASSERT_TRUE(WaitFor([&] { return host.Count('C') == 2; }));
    EXPECT_EQ("C0 C4", host.Outcomes());
    EXPECT_EQ(0, spare.Connections());
}

// What an auto-config script would answer for every target.
std::wstring autoConfigAnswer;
bool AutoConfigAnswer(const std::wstring&, std::wstring* answer) {
    *answer = autoConfigAnswer;
    return true;
}

TEST_F(SystemProxyEnv, DirectInTheAnswerIsTriedAfterADeadProxy) {
    TestServer echo;
    autoConfigAnswer = L"PROXY 127.0.0.1:" + std::to_wstring(DeadPort()) + L"; DIRECT";
    VemNetwork::SetProxyAnswerSource(AutoConfigAnswer);
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p;
    p.type = 5;
    {
        FrameGuard guard(GetDefaultFrame());
        ASSERT_EQ(0, conn->Connect(L"127.0.0.1", echo.port(), 5000, &p));
        EXPECT_EQ(4, p.type);
    }
    ASSERT_TRUE(host.WaitOutcome());
    EXPECT_EQ("C0", host.Outcomes());
    ASSERT_EQ(0, conn->Send("direct", 6));
    ASSERT_TRUE(host.WaitData(6));
    EXPECT_EQ(1, echo.Connections());
}

// Proxies that accept and then stall, or reset the connection, are left
// within the time limit for the next candidate, and remembered as failed.
TEST_F(SystemProxyEnv, StallingAndResettingCandidatesFailOverWithinTheLimit) {
    TestServer echo;
    TestServer stalls(TestServer::Script(), true);
    TestServer resets(TestServer::Script(), true);
    autoConfigAnswer = L"PROXY 127.0.0.1:" + std::to_wstring(stalls.port()) + L"; PROXY 127.0.0.1:" +
                       std::to_wstring(resets.port()) + L"; DIRECT";
    VemNetwork::SetProxyAnswerSource(AutoConfigAnswer);
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p;
    p.type = 5;
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", echo.port(), 3000, &p));
    // The second proxy resets the connection once the CONNECT is in.
    ASSERT_TRUE(resets.WaitConnections(1, 5000));
    resets.With(0, [&](ServerConn& c) { plat::SetNonBlocking(c.raw); });
    ASSERT_TRUE(WaitFor([&] {
        bool in = false;
        resets.With(0, [&](ServerConn& c) {
            char buf[256];
            in = testing_support::RecvFrom(c.raw, buf, sizeof buf, nullptr, nullptr) > 0;
        });
        return in;
    }));
    resets.With(0, [&](ServerConn& c) { testing_support::ResetOnClose(c.raw); });
    resets.CloseRaw(0);
    ASSERT_TRUE(host.WaitOutcome(5000));
    EXPECT_EQ("C0", host.Outcomes());
    EXPECT_EQ(1, stalls.Connections());
    EXPECT_TRUE(echo.WaitConnections(1));
    EXPECT_TRUE(VemNetwork::IsDirectCandidate(p)) << "the record names the direct attempt that carried the connection";
    // Both proxies go last for later connections.
    std::list<ProxyInfo> next = VemNetwork::SystemProxyCandidates(L"127.0.0.1");
    ASSERT_EQ(3u, next.size());
    EXPECT_TRUE(VemNetwork::IsDirectCandidate(next.front()));
}

TEST_F(SystemProxyEnv, AProxyThatFailedIsTriedLastByLaterConnections) {
    const int dead = DeadPort();
    TestServer socks(Socks5Script("127.0.0.1", 6062, "", ""));
    autoConfigAnswer = L"PROXY 127.0.0.1:" + std::to_wstring(dead) + L"; SOCKS5 127.0.0.1:" +
                       std::to_wstring(socks.port());
    VemNetwork::SetProxyAnswerSource(AutoConfigAnswer);
    for (int round = 0; round < 2; ++round) {
        Recorder host;
        ConnPtr conn = MakeConn(&host);
        ProxyInfo p;
        p.type = 5;
        ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 6062, 5000, &p));
        // The first connection starts with the dead proxy, the second with
        // the one that works.
        EXPECT_EQ(round == 0 ? 4 : 3, p.type) << round;
        EXPECT_EQ(round == 0 ? dead : socks.port(), p.port) << round;
        ASSERT_TRUE(host.WaitOutcome());
        EXPECT_EQ("C0", host.Outcomes());
    }
    EXPECT_EQ(2, socks.Connections());
}

// An auto-config that answers only once the test opens its gate (a PAC
// server that does not answer).
std::mutex gateLock;
std::condition_variable gateOpened;
bool gateOpen = false;
std::atomic<int> gatedQuestions{0};
bool GatedAnswer(const std::wstring&, std::wstring* answer) {
    ++gatedQuestions;
    std::unique_lock<std::mutex> l(gateLock);
    gateOpened.wait(l, [] { return gateOpen; });
    *answer = autoConfigAnswer;
    return true;
}
void CloseGate() {
    std::lock_guard<std::mutex> g(gateLock);
    gateOpen = false;
    gatedQuestions = 0;
}
void SystemProxyEnv::OpenGate() {
    std::lock_guard<std::mutex> g(gateLock);
    gateOpen = true;
    gateOpened.notify_all();
}

TEST_F(SystemProxyEnv, SilentAutoConfigEndsInTheStaticSettingWhileOthersGoOn) {
    TestServer echo;
    TestServer proxy(HttpProxyScript([](int, const std::string&) { return std::string(k200); }));
    setenv("https_proxy", ("127.0.0.1:" + std::to_string(proxy.port())).c_str(), 1);
    Recorder busyHost;
    ConnPtr busy = MakeConn(&busyHost);
    ASSERT_EQ(0, busy->Connect(L"127.0.0.1", echo.port(), 5000, nullptr));
    ASSERT_TRUE(busyHost.WaitEvent('C'));
    CloseGate();
    VemNetwork::SetProxyAnswerSource(GatedAnswer);
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p;
    p.type = 5;
    std::atomic<bool> returned{false};
    std::thread connecting([&] {
        EXPECT_EQ(0, conn->Connect(L"127.0.0.1", echo.port(), 5000, &p));
        returned = true;
    });
    ASSERT_TRUE(WaitFor([] { return gatedQuestions > 0; }));
    // The frame serves the other connection while this one waits (well
    // before the limit; held up, the echo would come only after it).
    ASSERT_EQ(0, busy->Send("echo", 4));
    EXPECT_TRUE(busyHost.WaitData(4, VemNetwork::kProxyAnswerLimitMs / 2));
    EXPECT_FALSE(returned);
    connecting.join();
    // The limit ran out: the static setting's proxy.
    EXPECT_EQ(4, p.type);
    EXPECT_EQ(proxy.port(), p.port);
    ASSERT_TRUE(host.WaitOutcome());
    EXPECT_EQ("C0", host.Outcomes());
}

TEST_F(SystemProxyEnv, ConnectFromACallbackGoesOnWhenTheAnswerComes) {
    TestServer echo;
    TestServer proxy(HttpProxyScript([](int, const std::string&) { return std::string(k200); }));
    // What the static setting would give: a proxy nobody listens on.
    setenv("https_proxy", ("127.0.0.1:" + std::to_string(DeadPort())).c_str(), 1);
    autoConfigAnswer = L"PROXY 127.0.0.1:" + std::to_wstring(proxy.port());
    CloseGate();
    VemNetwork::SetProxyAnswerSource(GatedAnswer);
    Recorder second;
    ConnPtr late = MakeConn(&second);
    ProxyInfo p;
    p.type = 5;
    std::atomic<int> typeAfterConnect{0};
    Recorder first;
    first.onConnect = [&](int) {
        EXPECT_EQ(0, late->Connect(L"127.0.0.1", echo.port(), 5000, &p));
        typeAfterConnect = p.type;
    };
    ConnPtr conn = MakeConn(&first);
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", echo.port(), 5000, nullptr));
    ASSERT_TRUE(first.WaitEvent('C'));
    EXPECT_EQ(5, typeAfterConnect);
    OpenGate();
    ASSERT_TRUE(second.WaitOutcome());
    EXPECT_EQ("C0", second.Outcomes());
    EXPECT_EQ(1, proxy.Connections());
}

TEST_F(SystemProxyEnv, ZeroTimeoutThroughTheSetting) {
    TestServer proxy(HttpProxyScript([](int, const std::string&) { return std::string(k200); }));
    std::string http = "127.0.0.1:" + std::to_string(proxy.port());
    setenv("https_proxy", http.c_str(), 1);
    Recorder host;
    ConnPtr conn = MakeConn(&host);
    ProxyInfo p;
    p.type = 5;
    ASSERT_EQ(0, conn->Connect(L"127.0.0.1", 81, 0, &p));
    ASSERT_TRUE(host.WaitEvent('C'));
    EXPECT_EQ("C0", host.Outcomes());
    ASSERT_EQ(0, conn->Send("t0", 2));
    ASSERT_TRUE(host.WaitData(2));
}
#endif

}  // namespace
