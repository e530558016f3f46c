// tcp_client.cpp and proxy_records.cpp: the guide's TCP connection, direct
// and through every proxy kind that tests/peers/with-peers.sh starts, against
// an echo server of the test's own on 127.0.0.1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tests/conn/conn_harness.h"
#include "tests/guide/examples.h"
#include "tests/support/peer_env.h"
#include "tests/support/socket_helpers.h"

using conn_harness::Pattern;
using conn_harness::TestServer;
using VemNetwork::ProxyInfo;

namespace {

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }
std::wstring User() { return Wide(testing_support::PeerValue("VEMNET_PROXY_USER", "vemuser")); }
std::wstring Password() { return Wide(testing_support::PeerValue("VEMNET_PROXY_PASSWORD", "vempass")); }

// The whole message comes back, through the proxy when there is one, and the
// echo server saw exactly one connection carrying exactly those bytes.
void ExpectEcho(ProxyInfo* proxy, size_t size = 70000) {
    TestServer echo;
    std::string message = Pattern(size, unsigned(size));
    std::string error;
    std::string back = guide::EchoOverTcp(L"127.0.0.1", echo.port(), proxy, message, &error);
    EXPECT_EQ("", error);
    EXPECT_EQ(message.size(), back.size());
    EXPECT_TRUE(back == message) << "the echo differs";
    EXPECT_EQ(1, echo.Connections());
    EXPECT_TRUE(echo.Received(0) == message);
}

// The handshake fails: the reason is the one the guide's table gives, and
// no byte reached the target.
void ExpectFailure(ProxyInfo* proxy, const std::string& reason) {
    TestServer echo;
    std::string error;
    std::string back = guide::EchoOverTcp(L"127.0.0.1", echo.port(), proxy, "never", &error);
    EXPECT_EQ(reason, error);
    EXPECT_EQ("", back);
    EXPECT_EQ("", echo.Received(0));
}

}  // namespace

TEST(GuideTcpClient, DirectEchoAndClosedPort) {
    ExpectEcho(nullptr);
    ExpectEcho(nullptr, 1);
    std::string error;
    EXPECT_EQ("", guide::EchoOverTcp(L"127.0.0.1", testing_support::UnusedPort(), nullptr, "x", &error));
    EXPECT_EQ("OnConnect(4)", error);
}

TEST(GuideTcpClient, HostThatDoesNotResolveGivesNoSocket) {
    std::string error;
    EXPECT_EQ("", guide::EchoOverTcp(L"no such host!", 80, nullptr, "x", &error));
    EXPECT_EQ("no socket", error);
}

TEST(GuideProxyRecords, FieldsOfEachKind) {
    ProxyInfo http = guide::HttpProxy(L"proxy.example", 3128, L"u", L"p");
    EXPECT_EQ(4, http.type);
    EXPECT_EQ(L"proxy.example", http.host);
    EXPECT_EQ(3128, http.port);
    EXPECT_EQ(L"u", http.user);
    EXPECT_EQ(L"p", http.password);
    EXPECT_EQ(L"", http.domain);
    ProxyInfo ntlm = guide::NtlmProxy(L"proxy.example", 3128, L"u", L"p", L"CORP");
    EXPECT_EQ(4, ntlm.type);
    EXPECT_EQ(L"CORP", ntlm.domain);
    EXPECT_EQ(1, guide::Socks4Proxy(L"s", 1080).type);
    ProxyInfo s5 = guide::Socks5Proxy(L"s", 1080, L"", L"");
    EXPECT_EQ(3, s5.type);
    EXPECT_EQ(L"", s5.user);
    EXPECT_EQ(5, guide::SystemProxy().type);
}

TEST(GuideTcpClient, HttpConnectWithoutAuthentication) {
    REQUIRE_PEER_PORT(port, "VEMNET_SQUID_PLAIN_PORT");
    ProxyInfo p = guide::HttpProxy(L"127.0.0.1", port, L"", L"");
    ExpectEcho(&p);
}

TEST(GuideTcpClient, HttpConnectBasic) {
    REQUIRE_PEER_PORT(squid, "VEMNET_SQUID_BASIC_PORT");
    ProxyInfo p = guide::HttpProxy(L"127.0.0.1", squid, User(), Password());
    ExpectEcho(&p);
    REQUIRE_PEER_PORT(tiny, "VEMNET_TINYPROXY_PORT");
    ProxyInfo t = guide::HttpProxy(L"127.0.0.1", tiny, User(), Password());
    ExpectEcho(&t);
    ProxyInfo wrong = guide::HttpProxy(L"127.0.0.1", squid, User(), L"wrong");
    ExpectFailure(&wrong, "OnError(6)");
}

TEST(GuideTcpClient, HttpConnectNtlm) {
    REQUIRE_PEER_PORT(port, "VEMNET_SQUID_NTLM_PORT");
    ProxyInfo p = guide::NtlmProxy(L"127.0.0.1", port, User(), Password(), L"GUIDE");
    ExpectEcho(&p);
    ProxyInfo anonymous = guide::NtlmProxy(L"127.0.0.1", port, L"", L"", L"GUIDE");
    ExpectFailure(&anonymous, "OnError(6)");
}

TEST(GuideTcpClient, Socks4a) {
    REQUIRE_PEER_PORT(port, "VEMNET_SOCKS4A_PORT");
    ProxyInfo p = guide::Socks4Proxy(L"127.0.0.1", port);
    ExpectEcho(&p);
}

TEST(GuideTcpClient, Socks5WithAndWithoutUser) {
    REQUIRE_PEER_PORT(plain, "VEMNET_MICROSOCKS_PORT");
    REQUIRE_PEER_PORT(auth, "VEMNET_DANTE_AUTH_PORT");
    ProxyInfo open = guide::Socks5Proxy(L"127.0.0.1", plain, L"", L"");
    ExpectEcho(&open);
    ProxyInfo withUser = guide::Socks5Proxy(L"127.0.0.1", auth, User(), Password());
    ExpectEcho(&withUser);
    ProxyInfo wrong = guide::Socks5Proxy(L"127.0.0.1", auth, User(), L"wrong");
    ExpectFailure(&wrong, "OnError(6)");
}

TEST(GuideTcpClient, ProxyThatIsNotThereGivesConnectFour) {
    ProxyInfo p = guide::Socks5Proxy(L"127.0.0.1", testing_support::UnusedPort(), L"", L"");
    ExpectFailure(&p, "OnConnect(4)");
}

// The system setting is the environment on Linux and WinInet's on Windows;
// only the former can be set by a test.
#if defined(_WIN32)
TEST(GuideTcpClient, SystemProxy) { GTEST_SKIP() << "the Windows setting is WinInet's, not the test's to change"; }
#else
namespace {

// Sets the proxy variables for one scope and puts them back afterwards.
class ProxyEnvironment {
public:
    ProxyEnvironment() {
        for (const char* name : kNames) {
            const char* v = std::getenv(name);
            saved_.push_back(v ? std::make_pair(true, std::string(v)) : std::make_pair(false, std::string()));
            unsetenv(name);
        }
    }
    ~ProxyEnvironment() {
        for (size_t i = 0; i < saved_.size(); ++i) {
            if (saved_[i].first) {
                setenv(kNames[i], saved_[i].second.c_str(), 1);
            } else {
                unsetenv(kNames[i]);
            }
        }
    }
    void Set(const char* name, const std::string& value) { setenv(name, value.c_str(), 1); }

private:
    static constexpr const char* kNames[6] = {"http_proxy", "HTTP_PROXY", "https_proxy",
                                              "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
    std::vector<std::pair<bool, std::string>> saved_;
};
constexpr const char* ProxyEnvironment::kNames[6];

}  // namespace

TEST(GuideTcpClient, SystemProxy) {
    REQUIRE_PEER_PORT(squid, "VEMNET_SQUID_PLAIN_PORT");
    REQUIRE_PEER_PORT(socks, "VEMNET_SOCKS4A_PORT");
    ProxyEnvironment env;
    {
        // No setting: the record stays type 5 and the connection goes direct.
        ProxyInfo p = guide::SystemProxy();
        ExpectEcho(&p);
        EXPECT_EQ(5, p.type);
        EXPECT_EQ(L"", p.host);
    }
    {
        env.Set("http_proxy", "http://127.0.0.1:" + std::to_string(squid) + "/");
        ProxyInfo p = guide::SystemProxy();
        ExpectEcho(&p);
        EXPECT_EQ(4, p.type);
        EXPECT_EQ(L"127.0.0.1", p.host);
        EXPECT_EQ(squid, p.port);
        unsetenv("http_proxy");
    }
    {
        // The URL's scheme gives the SOCKS version (ssh -D speaks both).
        env.Set("all_proxy", "socks4a://127.0.0.1:" + std::to_string(socks));
        ProxyInfo p = guide::SystemProxy();
        ExpectEcho(&p);
        EXPECT_EQ(1, p.type);
        EXPECT_EQ(socks, p.port);
        env.Set("all_proxy", "socks5h://127.0.0.1:" + std::to_string(socks));
        p = guide::SystemProxy();
        ExpectEcho(&p);
        EXPECT_EQ(3, p.type);
        EXPECT_EQ(socks, p.port);
    }
}
#endif
