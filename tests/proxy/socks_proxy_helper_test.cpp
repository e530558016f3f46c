// The SOCKS4a and SOCKS5 handshakes driven with scripted proxy replies.
#include <gtest/gtest.h>

#include "platform/platform.h"

#include <string>

#include "conn/proxy/socks4_proxy_helper.h"
#include "conn/proxy/socks5_proxy_helper.h"
#include "tests/proxy/recording_sock.h"

using VemNetwork::ProxyInfo;
using VemNetwork::Socket4ProxyHelper;
using VemNetwork::Socket5ProxyHelper;

namespace {

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += char(b);
    return s;
}

template <typename Helper>
std::pair<int, int> Feed(Helper& h, const std::string& bytes) {
    int status = -99;
    const int consumed = h.OnReply(bytes.data(), int(bytes.size()), &status);
    return {consumed, status};
}

const std::string kSocks5Ok = B({5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90});

class Socks : public ::testing::Test {
protected:
    Socks() {
        proxy.type = 3;
        proxy.host = L"127.0.0.1";
        proxy.port = 1080;
    }
    RecordingSock sock;
    ProxyInfo proxy;
    std::wstring target = L"localhost";
};

}  // namespace

TEST_F(Socks, Socks4RequestNamesTheTarget) {
    proxy.type = 1;
    proxy.user = L"ignored";
    Socket4ProxyHelper h(&sock, &proxy, &target, 8080);
    EXPECT_EQ(h.state(), L"begin");
    // Nothing asked yet: nothing to read.
    EXPECT_EQ(Feed(h, B({0, 0x5A, 0, 0, 0, 0, 0, 0})), std::make_pair(0, 2));

    ASSERT_TRUE(h.Start());
    EXPECT_EQ(h.state(), L"request");
    ASSERT_EQ(sock.sent.size(), 1u);
    EXPECT_EQ(sock.sent[0], B({4, 1, 0x1F, 0x90, 0, 0, 0, 1, 0}) + "localhost" + B({0}));
    EXPECT_FALSE(h.Failed());
}

TEST_F(Socks, Socks4ReplyInTwoReads) {
    Socket4ProxyHelper h(&sock, &proxy, &target, 8080);
    h.Start();
    const std::string reply = B({0, 0x5A, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(Feed(h, reply.substr(0, 3)), std::make_pair(0, 2));
    EXPECT_EQ(Feed(h, reply), std::make_pair(8, 0));
}

TEST_F(Socks, Socks4Refusals) {
    {
        Socket4ProxyHelper h(&sock, &proxy, &target, 8080);
        h.Start();
        EXPECT_EQ(Feed(h, B({0, 0x5B, 0, 0, 0, 0, 0, 0})), std::make_pair(8, 3));
    }
    {   // the target's greeting behind the reply in the same read stays out
        Socket4ProxyHelper h(&sock, &proxy, &target, 8080);
        h.Start();
        EXPECT_EQ(Feed(h, B({0, 0x5A, 0, 0, 0, 0, 0, 0}) + "SSH-2.0"), std::make_pair(8, 0));
    }
}

TEST_F(Socks, Socks4PortIsItsLow16BitsBigEndian) {
    Socket4ProxyHelper h(&sock, &proxy, &target, 70000);   // 70000 & 0xFFFF = 4464
    h.Start();
    EXPECT_EQ(sock.Last().substr(2, 2), B({0x11, 0x70}));
}

TEST_F(Socks, Socks4UnsendableHostFailsBeforeSending) {
    target = std::wstring(256, L'a');
    Socket4ProxyHelper h(&sock, &proxy, &target, 80);
    EXPECT_FALSE(h.Start());
    EXPECT_TRUE(h.Failed());
    EXPECT_TRUE(sock.sent.empty());
    EXPECT_EQ(Feed(h, "x"), std::make_pair(0, 6));

    // A NUL would end the name and turn the rest into tunnel bytes.
    target = std::wstring(L"good\0evil", 9);
    Socket4ProxyHelper n(&sock, &proxy, &target, 80);
    EXPECT_FALSE(n.Start());
    EXPECT_TRUE(n.Failed());
    EXPECT_TRUE(sock.sent.empty());

    // Re-initialised with a usable host, the same helper goes on.
    target = std::wstring(255, L'a');
    h.Init(&sock, &proxy, &target, 80);
    EXPECT_TRUE(h.Start());
    EXPECT_FALSE(h.Failed());
    ASSERT_EQ(sock.sent.size(), 1u);
    EXPECT_EQ(sock.sent[0].size(), 255u + 10);
}

TEST_F(Socks, Socks5WithoutAuthentication) {
    Socket5ProxyHelper h(&sock, &proxy, &target, 8080);
    ASSERT_TRUE(h.Start());
    EXPECT_EQ(h.state(), L"init");
    EXPECT_EQ(sock.Last(), B({5, 1, 0}));

    EXPECT_EQ(Feed(h, B({5})), std::make_pair(0, 2));
    EXPECT_EQ(Feed(h, B({5, 0})), std::make_pair(2, 2));
    EXPECT_EQ(h.state(), L"request");
    ASSERT_EQ(sock.sent.size(), 2u);
    EXPECT_EQ(sock.sent[1], B({5, 1, 0, 3, 9}) + "localhost" + B({0x1F, 0x90}));

    // The reply split over two reads.
    EXPECT_EQ(Feed(h, kSocks5Ok.substr(0, 4)), std::make_pair(0, 2));
    EXPECT_EQ(Feed(h, kSocks5Ok), std::make_pair(10, 0));
}

TEST_F(Socks, Socks5WithUserAndPassword) {
    proxy.user = L"bob";
    proxy.password = L"pw12";
    Socket5ProxyHelper h(&sock, &proxy, &target, 8080);
    h.Start();
    EXPECT_EQ(sock.Last(), B({5, 1, 2}));
    EXPECT_EQ(Feed(h, B({5, 2})), std::make_pair(2, 2));
    EXPECT_EQ(h.state(), L"auth");
    EXPECT_EQ(sock.Last(), B({1, 3}) + "bob" + B({4}) + "pw12");

    EXPECT_EQ(Feed(h, B({1})), std::make_pair(0, 2));
    EXPECT_EQ(Feed(h, B({1, 0})), std::make_pair(2, 2));
    EXPECT_EQ(h.state(), L"request");
    EXPECT_EQ(sock.Last(), B({5, 1, 0, 3, 9}) + "localhost" + B({0x1F, 0x90}));
    EXPECT_EQ(Feed(h, kSocks5Ok), std::make_pair(10, 0));
    EXPECT_EQ(sock.sent.size(), 3u);
}

TEST_F(Socks, Socks5ProxyMayWaiveTheOfferedAuthentication) {
    proxy.user = L"bob";
    Socket5ProxyHelper h(&sock, &proxy, &target, 8080);
    h.Start();
    EXPECT_EQ(Feed(h, B({5, 0})), std::make_pair(2, 2));
    EXPECT_EQ(h.state(), L"request");
    EXPECT_EQ(sock.Last()[0], 5);   // the connect request, no user/password request
    EXPECT_EQ(sock.sent.size(), 2u);
}

TEST_F(Socks, Socks5EmptyPasswordSendsZeroLength) {
    proxy.user = L"bob";
    Socket5ProxyHelper h(&sock, &proxy, &target, 8080);
    h.Start();
    Feed(h, B({5, 2}));
    EXPECT_EQ(sock.Last(), B({1, 3}) + "bob" + B({0}));
}

TEST_F(Socks, Socks5MethodReplies) {
    struct Case {
        std::string reply;
        bool user;
        int status;
    } cases[] = {
        {B({5, 2}), false, 5},        // wants credentials we do not have
        {B({5, 0xFF}), true, 5},      // nothing acceptable
        {B({5, 1}), true, 4},         // GSSAPI: not ours
        {B({5, 0, 0}), false, 6},     // longer than a method reply
        {B({5, 2, 1}), true, 6},
    };
    for (const Case& c : cases) {
        proxy.user = c.user ? L"bob" : L"";
        RecordingSock s;
        Socket5ProxyHelper h(&s, &proxy, &target, 8080);
        h.Start();
        EXPECT_EQ(Feed(h, c.reply), std::make_pair(2, c.status));
        EXPECT_EQ(s.sent.size(), 1u);   // nothing after the greeting
    }
}

TEST_F(Socks, Socks5AuthReplies) {
    proxy.user = L"bob";
    proxy.password = L"bad";
    {
        Socket5ProxyHelper h(&sock, &proxy, &target, 8080);
        h.Start();
        Feed(h, B({5, 2}));
        EXPECT_EQ(Feed(h, B({1, 1})), std::make_pair(2, 3));
    }
    {
        Socket5ProxyHelper h(&sock, &proxy, &target, 8080);
        h.Start();
        Feed(h, B({5, 2}));
        EXPECT_EQ(Feed(h, B({1, 0, 5})), std::make_pair(2, 6));
    }
}

TEST_F(Socks, Socks5ConnectReplies) {
    auto upToRequest = [&](Socket5ProxyHelper& h) {
        h.Start();
        Feed(h, B({5, 0}));
        ASSERT_EQ(h.state(), L"request");
    };
    {   // refused: general failure
        Socket5ProxyHelper h(&sock, &proxy, &target, 8080);
        upToRequest(h);
        EXPECT_EQ(Feed(h, B({5, 5, 0, 1, 0, 0, 0, 0, 0, 0})), std::make_pair(10, 3));
    }
    {   // the target's greeting behind the reply is not the reply's
        Socket5ProxyHelper h(&sock, &proxy, &target, 8080);
        upToRequest(h);
        EXPECT_EQ(Feed(h, kSocks5Ok + "220 smtp ready"), std::make_pair(10, 0));
    }
    {   // an address type that does not exist
        Socket5ProxyHelper h(&sock, &proxy, &target, 8080);
        upToRequest(h);
        EXPECT_EQ(Feed(h, B({5, 0, 0, 2, 0, 0, 0, 0, 0, 0})), std::make_pair(10, 6));
    }
}

// A bound address given as a name or as an IPv6 address: the reply counts
// only once it is whole, however it was split, and not a byte more.
TEST_F(Socks, Socks5ReplyIsReadByItsAddressType) {
    const std::string replies[] = {
        B({5, 0, 0, 3, 9}) + "localhost" + B({0x1F, 0x90}),
        B({5, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x1F, 0x90}),
    };
    const std::string greeting = "SSH-2.0-x\r\n";
    for (const std::string& reply : replies) {
        const std::string wire = reply + greeting;
        for (size_t split = 1; split <= reply.size(); ++split) {
            RecordingSock s;
            Socket5ProxyHelper h(&s, &proxy, &target, 8080);
            h.Start();
            Feed(h, B({5, 0}));
            std::pair<int, int> first = Feed(h, wire.substr(0, split));
            if (split < reply.size()) {
                EXPECT_EQ(first, std::make_pair(0, 2)) << "split at " << split;
                first = Feed(h, wire);
            }
            EXPECT_EQ(first, std::make_pair(int(reply.size()), 0)) << "split at " << split;
        }
    }
}

TEST_F(Socks, Socks5DottedTargetGoesAsADomainName) {
    target = L"10.0.0.1";
    Socket5ProxyHelper h(&sock, &proxy, &target, 443);
    h.Start();
    Feed(h, B({5, 0}));
    EXPECT_EQ(sock.Last(), B({5, 1, 0, 3, 8}) + "10.0.0.1" + B({1, 0xBB}));
}

TEST_F(Socks, Socks5IPv6LiteralTargetGoesAsAnAddress) {
    for (const wchar_t* literal : {L"::1", L"[::1]"}) {
        RecordingSock s;
        target = literal;
        Socket5ProxyHelper h(&s, &proxy, &target, 443);
        h.Start();
        Feed(h, B({5, 0}));
        EXPECT_EQ(s.Last(), B({5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0xBB}));
    }
}

TEST_F(Socks, Socks5FieldsBeyond255BytesNeverReachTheWire) {
    const std::wstring longText(256, L'x');
    auto expectFailed = [&](const std::wstring& host, const std::wstring& user,
                            const std::wstring& password) {
        RecordingSock s;
        ProxyInfo p = proxy;
        p.user = user;
        p.password = password;
        Socket5ProxyHelper h(&s, &p, &host, 80);
        EXPECT_FALSE(h.Start());
        EXPECT_TRUE(h.Failed());
        EXPECT_EQ(h.state(), L"failed");
        EXPECT_TRUE(s.sent.empty());
        EXPECT_EQ(Feed(h, B({5, 0})), std::make_pair(0, 6));
        EXPECT_TRUE(s.sent.empty());
    };
    expectFailed(longText, L"", L"");
    expectFailed(L"localhost", longText, L"pw");
    expectFailed(L"localhost", L"bob", longText);
    // Characters count by their bytes in the ANSI code page: 128 x U+00E9 is
    // 256 bytes in UTF-8 (Linux) but 128 in code page 1252 (Windows).
    const std::wstring accented(128, L'\u00e9');
    if (plat::ToAnsi(accented).size() > 255) {
        expectFailed(accented, L"", L"");
    } else {
        RecordingSock s;
        Socket5ProxyHelper h(&s, &proxy, &accented, 80);
        EXPECT_TRUE(h.Start());
        EXPECT_FALSE(h.Failed());
    }

    // Without a user the password is never sent, so its length does not matter.
    proxy.password = longText;
    Socket5ProxyHelper h(&sock, &proxy, &target, 80);
    EXPECT_TRUE(h.Start());
    EXPECT_FALSE(h.Failed());
}

TEST_F(Socks, Socks5AcceptsFieldsOfExactly255Bytes) {
    const std::string name(255, 'h');
    target = std::wstring(name.begin(), name.end());
    proxy.user = std::wstring(255, L'u');
    proxy.password = std::wstring(255, L'p');
    Socket5ProxyHelper h(&sock, &proxy, &target, 80);
    ASSERT_TRUE(h.Start());
    Feed(h, B({5, 2}));
    ASSERT_EQ(sock.sent.size(), 2u);
    EXPECT_EQ(sock.sent[1].size(), 255u * 2 + 3);
    EXPECT_EQ((unsigned char)sock.sent[1][1], 255);
    EXPECT_EQ((unsigned char)sock.sent[1][2 + 255], 255);
    Feed(h, B({1, 0}));
    ASSERT_EQ(sock.sent.size(), 3u);
    EXPECT_EQ(sock.sent[2].size(), 255u + 7);
    EXPECT_EQ((unsigned char)sock.sent[2][4], 255);
}

TEST_F(Socks, RefusedSendEndsTheHandshake) {
    Socket5ProxyHelper h(&sock, &proxy, &target, 80);
    h.Start();
    sock.refuse = true;
    EXPECT_EQ(Feed(h, B({5, 0})), std::make_pair(2, 6));
}
