// The HTTP CONNECT handshake driven with scripted proxy replies, the bytes
// it writes read back from a recording socket.
#include <gtest/gtest.h>

#include <string>

#include "conn/auth/base64.h"
#include "conn/auth/ntlm_messages.h"
#include "conn/proxy/http_proxy_helper.h"
#include "platform/security_service.h"
#include "tests/proxy/recording_sock.h"

using VemNetwork::HttpProxyHelper;
using VemNetwork::ProxyInfo;

namespace {

const char kPlain[] =
    "CONNECT 127.0.0.1:7443 HTTP/1.1\r\n"
    "Accept: */* \r\n"
    "Content-Type: text/html\r\n"
    "Proxy-Connection: Keep-Alive\r\n"
    "Content-Length: 0\r\n"
    "\r\n";

const char kOk[] = "HTTP/1.1 200 Connection established\r\n\r\n";

// A 407 the way squid 5.7 writes it: a Content-Length and an HTML body that
// is not of the "<Html><Body>" form.
std::string SquidBody() {
    std::string body =
        "<!DOCTYPE html PUBLIC \"-//W3C//DTD HTML 4.01//EN\" "
        "\"http://www.w3.org/TR/html4/strict.dtd\">\n<html><head>\n"
        "<meta type=\"copyright\" content=\"Copyright (C) 1996-2022 The Squid Software "
        "Foundation and contributors\">\n<title>ERROR: Cache Access Denied</title>\n";
    const std::string tail = "</div>\n</body></html>\n";
    body += std::string(3053 - body.size() - tail.size(), 'x');
    return body + tail;
}

std::string Squid407(const std::string& authenticateLines) {
    const std::string body = SquidBody();
    return "HTTP/1.1 407 Proxy Authentication Required\r\n"
           "Server: squid/5.7\r\n"
           "Mime-Version: 1.0\r\n"
           "Date: Mon, 01 Jan 2024 00:00:00 GMT\r\n"
           "Content-Type: text/html;charset=utf-8\r\n"
           "Content-Length: " + std::to_string(body.size()) + "\r\n"
           "X-Squid-Error: ERR_CACHE_ACCESS_DENIED 0\r\n"
           "Vary: Accept-Language\r\n"
           "Content-Language: en\r\n" +
           authenticateLines +
           "X-Cache: MISS from localhost\r\n"
           "X-Cache-Lookup: NONE from localhost:3128\r\n"
           "Via: 1.1 localhost (squid/5.7)\r\n"
           "Connection: keep-alive\r\n"
           "\r\n" + body;
}

// tinyproxy 1.11: HTTP/1.0, no length, the connection closes after the body.
std::string Tinyproxy407() {
    return "HTTP/1.0 407 Proxy Authentication Required\r\n"
           "Server: tinyproxy/1.11.1\r\n"
           "Content-Type: text/html\r\n"
           "Proxy-Authenticate: Basic realm=\"tinyproxy\"\r\n"
           "Connection: close\r\n"
           "\r\n"
           "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<!DOCTYPE html>\n<html>\n"
           "<head><title>407 Proxy Authentication Required</title></head>\n";
}

struct Reply {
    int consumed;
    int status;
};

Reply Feed(HttpProxyHelper& h, const std::string& bytes) {
    Reply r{-99, -99};
    r.consumed = h.OnReply(bytes.data(), int(bytes.size()), &r.status);
    return r;
}

class HttpHelper : public ::testing::Test {
protected:
    HttpHelper() {
        proxy.type = 4;
        proxy.host = L"127.0.0.1";
        proxy.port = 3128;
        proxy.user = L"alice";
        proxy.password = L"s3cret";
        proxy.domain = L"CORP";
    }
    HttpProxyHelper Make() { return HttpProxyHelper(&sock, &proxy, &target, 7443); }

    RecordingSock sock;
    ProxyInfo proxy;
    std::wstring target = L"127.0.0.1";
};

std::string Header(const std::string& request, const std::string& name) {
    const size_t at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos) return std::string();
    const size_t from = at + 4 + name.size();
    return request.substr(from, request.find("\r\n", from) - from);
}

}  // namespace

TEST_F(HttpHelper, PlainRequestThenTunnel) {
    HttpProxyHelper h = Make();
    EXPECT_EQ(h.state(), L"begin");
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(sock.sent.size(), 1u);
    EXPECT_EQ(sock.sent[0], kPlain);

    // Tunnel bytes in the same read are not the proxy's.
    const std::string reply = std::string(kOk) + "SSH-2.0-server\r\n";
    const Reply r = Feed(h, reply);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.consumed, int(sizeof kOk - 1));
}

TEST_F(HttpHelper, TinyproxyStyleHttp10OkWithHeaders) {
    HttpProxyHelper h = Make();
    h.Start();
    const std::string ok =
        "HTTP/1.0 200 Connection established\r\nProxy-agent: tinyproxy/1.11.1\r\n\r\n";
    const Reply r = Feed(h, ok);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.consumed, int(ok.size()));
}

TEST_F(HttpHelper, SplitReplyWaitsUntilTheBlankLine) {
    HttpProxyHelper h = Make();
    h.Start();
    const std::string reply = kOk;
    for (size_t n = 1; n < reply.size(); ++n) {
        const Reply r = Feed(h, reply.substr(0, n));
        ASSERT_EQ(r.consumed, 0) << n;
        ASSERT_EQ(r.status, 2) << n;
    }
    EXPECT_EQ(Feed(h, reply).status, 0);
}

TEST_F(HttpHelper, BasicOfferedInLowerCaseLeadsToTheBasicRequest) {
    HttpProxyHelper h = Make();
    h.Start();
    const std::string reply =
        "HTTP/1.1 407 Proxy Authentication Required\r\n"
        "Proxy-Authenticate: basic realm=\"squid proxy\"\r\n"
        "Content-Length: 0\r\n\r\n";
    const Reply r = Feed(h, reply);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.consumed, int(reply.size()));
    EXPECT_EQ(h.state(), L"base_verify");

    // The connection reconnects and starts the same helper again.
    RecordingSock second;
    h.Init(&second, &proxy, &target, 7443);
    EXPECT_EQ(h.state(), L"base_verify");
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(second.sent.size(), 1u);
    const std::string token = Base64EncodeString("alice:s3cret", BASE64_FLAG_NOCRLF);
    EXPECT_EQ(second.sent[0],
              "CONNECT 127.0.0.1:7443 HTTP/1.1\r\n"
              "Proxy-Authorization: Basic " + token + "\r\n"
              "Authorization: Basic " + token + "\r\n"
              "Accept: */* \r\n"
              "Content-Type: text/html\r\n"
              "Proxy-Connection: Keep-Alive\r\n"
              "Content-Length: 0\r\n"
              "\r\n");
    EXPECT_EQ(token, "YWxpY2U6czNjcmV0");
    EXPECT_EQ(Feed(h, kOk).status, 0);
}

TEST_F(HttpHelper, SchemeChoiceFailures) {
    {   // no Proxy-Authenticate at all
        HttpProxyHelper h = Make();
        h.Start();
        EXPECT_EQ(Feed(h, "HTTP/1.1 407 Denied\r\nContent-Length: 0\r\n\r\n").status, 6);
    }
    {   // the header name in other letter case is not the header
        HttpProxyHelper h = Make();
        h.Start();
        EXPECT_EQ(Feed(h, "HTTP/1.1 407 Denied\r\nproxy-authenticate: Basic realm=x\r\n\r\n").status, 6);
    }
    {   // only schemes we do not speak; a value shorter than "Basic" never matches
        HttpProxyHelper h = Make();
        h.Start();
        EXPECT_EQ(Feed(h, "HTTP/1.1 407 Denied\r\nProxy-Authenticate: Digest realm=x\r\n"
                          "Proxy-Authenticate: Bas\r\nProxy-Authenticate: NTL\r\n\r\n").status, 4);
        EXPECT_EQ(h.state(), L"begin");
    }
    {   // NTLMSSP counts as NTLM
        HttpProxyHelper h = Make();
        h.Start();
        EXPECT_EQ(Feed(h, "HTTP/1.1 407 Denied\r\nProxy-Authenticate: NTLMSSP\r\n\r\n").status, 1);
        EXPECT_EQ(h.state(), L"ntlm_request");
    }
    {   // credentials wanted, none configured
        proxy.user.clear();
        HttpProxyHelper h = Make();
        h.Start();
        EXPECT_EQ(Feed(h, "HTTP/1.1 407 Denied\r\nProxy-Authenticate: Basic realm=x\r\n\r\n").status, 5);
    }
}

TEST_F(HttpHelper, OtherCodesAreRefusals) {
    HttpProxyHelper h = Make();
    h.Start();
    const std::string reply =
        "HTTP/1.1 503 Service Unavailable\r\nX-Squid-Error: ERR_CONNECT_FAIL 111\r\n\r\n";
    const Reply r = Feed(h, reply);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.consumed, int(reply.size()));
}

TEST_F(HttpHelper, StatusLineWithoutReasonLeavesNoCode) {
    HttpProxyHelper h = Make();
    h.Start();
    EXPECT_EQ(Feed(h, "HTTP/1.1 200\r\n\r\n").status, 3);
}

TEST_F(HttpHelper, TooShortStatusLineIsMalformedNotACrash) {
    for (const char* reply : {"HTTP/\r\n\r\n", "HTTP/1\r\n\r\n", "HTTP/1.\r\n\r\n"}) {
        HttpProxyHelper h = Make();
        h.Start();
        const Reply r = Feed(h, reply);
        EXPECT_EQ(r.status, 6) << reply;
        EXPECT_EQ(r.consumed, int(std::string(reply).size())) << reply;
    }
}

TEST_F(HttpHelper, ReplyThatIsNotHttpIsRefused) {
    HttpProxyHelper h = Make();
    h.Start();
    EXPECT_EQ(Feed(h, "SSH-2.0-OpenSSH\r\n\r\n").status, 3);
}

TEST_F(HttpHelper, ContentLengthLongerThanTheTextKeepsWaiting) {
    HttpProxyHelper h = Make();
    h.Start();
    const std::string head =
        "HTTP/1.1 407 Denied\r\nProxy-Authenticate: Basic realm=x\r\nContent-Length: 500\r\n\r\n";
    Reply r = Feed(h, head + std::string(100, 'b'));
    EXPECT_EQ(r.consumed, 0);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(h.state(), L"begin");
    r = Feed(h, head + std::string(500, 'b') + "next");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.consumed, int(head.size()) + 500);
}

TEST_F(HttpHelper, SquidBasic407IsConsumedWithItsBody) {
    HttpProxyHelper h = Make();
    h.Start();
    const std::string reply = Squid407("Proxy-Authenticate: Basic realm=\"Squid proxy-caching web server\"\r\n");
    // Headers and part of the body in the first read: wait for the rest.
    Reply r = Feed(h, reply.substr(0, 1400));
    EXPECT_EQ(r.consumed, 0);
    EXPECT_EQ(r.status, 2);
    r = Feed(h, reply);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.consumed, int(reply.size()));
}

TEST_F(HttpHelper, TinyproxyBasic407WithoutLength) {
    HttpProxyHelper h = Make();
    h.Start();
    const std::string reply = Tinyproxy407();
    const Reply r = Feed(h, reply);
    EXPECT_EQ(r.status, 1);
    // The body's end is unknown: only the header part belongs to the reply.
    EXPECT_EQ(r.consumed, int(reply.find("\r\n\r\n") + 4));
    EXPECT_EQ(h.state(), L"base_verify");
}

TEST_F(HttpHelper, HtmlBodyFormWithoutLengthIsConsumedToItsEnd) {
    HttpProxyHelper h = Make();
    h.Start();
    const std::string head = "HTTP/1.1 407 Denied\r\nProxy-Authenticate: Basic\r\n\r\n";
    const std::string body = "<Html><Body>Access denied</Body></Html>";
    const Reply r = Feed(h, head + body + "\r\ntrailing");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.consumed, int(head.size() + body.size()));
}

TEST_F(HttpHelper, NtlmHandshakeOverSquidReplies) {
    HttpProxyHelper h = Make();
    h.Start();
    EXPECT_EQ(Feed(h, Squid407("Proxy-Authenticate: NTLM\r\n")).status, 1);
    EXPECT_EQ(h.state(), L"ntlm_request");

    RecordingSock second;
    h.Init(&second, &proxy, &target, 7443);
    ASSERT_TRUE(h.Start());
    ASSERT_EQ(second.sent.size(), 1u);
    std::string negotiate;
    ASSERT_TRUE(BuildNtlmNegotiate("alice", "CORP", &negotiate));
    EXPECT_EQ(second.sent[0],
              "CONNECT 127.0.0.1:7443 HTTP/1.1\r\n"
              "Proxy-Authorization: NTLM " + negotiate + "\r\n"
              "Accept: */*\r\n"
              "Content-Type: text/html\r\n"
              "Proxy-Connection: Keep-Alive\r\n"
              "Content-length: 0\r\n"
              "\r\n");

    // The challenge reply carries squid's 3 KB body, and here the 200 is
    // already behind it in the same read.
    std::string type2(48, '\0');
    type2.replace(0, 9, std::string("NTLMSSP\0\x02", 9));
    type2[16] = 48;
    type2[20] = 0x01;
    type2[21] = 0x02;
    type2.replace(24, 8, "\x01\x02\x03\x04\x05\x06\x07\x08");
    const std::string challenge = Base64EncodeString(type2, BASE64_FLAG_NOCRLF);
    const std::string challengeReply = Squid407("Proxy-Authenticate: NTLM  " + challenge + " \r\n");
    const std::string read = challengeReply + kOk;
    Reply r = Feed(h, read);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.consumed, int(challengeReply.size()));
    EXPECT_EQ(h.state(), L"ntlm_response");

    // The authenticate request went out on the same connection.
    ASSERT_EQ(second.sent.size(), 2u);
    const std::string& auth = second.sent[1];
    std::string expected;
    ASSERT_TRUE(BuildNtlmAuthenticate(challenge, "alice", "s3cret", &expected));
    EXPECT_EQ(Header(auth, "Proxy-Authorization"), "NTLM " + expected);
    EXPECT_EQ(auth.substr(0, 33), "CONNECT 127.0.0.1:7443 HTTP/1.1\r\n");
    EXPECT_NE(auth.find("\r\nAccept: */*\r\nContent-Type: text/html\r\nProxy-Connection: "
                        "Keep-Alive\r\nContent-length: 0\r\n\r\n"),
              std::string::npos);
    const std::string type3 = Base64DecodeString(expected);
    EXPECT_EQ(type3.substr(0, 9), std::string("NTLMSSP\0\x03", 9));

    // What the socket keeps is the 200, which now completes the tunnel.
    r = Feed(h, read.substr(size_t(r.consumed)));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.consumed, int(sizeof kOk - 1));
}

TEST_F(HttpHelper, BasicRefusedMovesOnToNtlmAndNtlmFailures) {
    HttpProxyHelper h = Make();
    h.Start();
    ASSERT_EQ(Feed(h, "HTTP/1.1 407 x\r\nProxy-Authenticate: Basic\r\n\r\n").status, 1);
    h.Start();
    EXPECT_EQ(Feed(h, "HTTP/1.1 407 x\r\nProxy-Authenticate: Basic\r\n\r\n").status, 1);
    EXPECT_EQ(h.state(), L"ntlm_request");
    sock.sent.clear();

    // A challenge without a token, or none at all: nothing is sent.
    EXPECT_EQ(Feed(h, "HTTP/1.1 407 x\r\nProxy-Authenticate: NTLM\r\n\r\n").status, 6);
    EXPECT_EQ(Feed(h, "HTTP/1.1 407 x\r\n\r\n").status, 6);
    EXPECT_TRUE(sock.sent.empty());
    EXPECT_EQ(Feed(h, "HTTP/1.1 403 Forbidden\r\n\r\n").status, 6);
    EXPECT_EQ(h.state(), L"ntlm_request");

    // The challenge answered, a further 407 or any other code is a refusal.
    EXPECT_EQ(Feed(h, "HTTP/1.1 407 x\r\nProxy-Authenticate: NTLM TlRMTVNTUAACAAAA\r\n\r\n").status, 2);
    EXPECT_EQ(h.state(), L"ntlm_response");
    EXPECT_EQ(sock.sent.size(), 1u);
    EXPECT_EQ(Feed(h, "HTTP/1.1 407 x\r\nProxy-Authenticate: NTLM\r\n\r\n").status, 3);
    EXPECT_EQ(Feed(h, "HTTP/1.1 502 Bad Gateway\r\n\r\n").status, 3);
    // Nothing more to start in that state.
    EXPECT_FALSE(h.Start());
    EXPECT_EQ(sock.sent.size(), 1u);
}

TEST_F(HttpHelper, RefusedSendsAreReported) {
    sock.refuse = true;
    HttpProxyHelper h = Make();
    EXPECT_FALSE(h.Start());
    HttpProxyHelper none(nullptr, &proxy, &target, 7443);
    EXPECT_FALSE(none.Start());
}

TEST_F(HttpHelper, RequestCarriesTheTargetAsGiven) {
    target = L"localhost";
    HttpProxyHelper h(&sock, &proxy, &target, 65535);
    h.Start();
    EXPECT_EQ(sock.Last().substr(0, 34), "CONNECT localhost:65535 HTTP/1.1\r\n");
}

// Strongest first, each scheme once, moving on when refused; a stale Digest
// nonce is answered once more; the failure names every scheme and why.
TEST_F(HttpHelper, StrongestSchemeFirstThenTheNextOnRefusal) {
    plat::SetSecurityModule("vemnet-absent-security-module");
    HttpProxyHelper h = Make();
    h.Start();
    const std::string offer =
        "HTTP/1.1 407 x\r\n"
        "Proxy-Authenticate: Basic realm=\"r\", Digest realm=\"r\", nonce=\"n1\", qop=\"auth\"\r\n"
        "Proxy-Authenticate: NTLM\r\nProxy-Authenticate: Negotiate\r\nContent-Length: 0\r\n\r\n";
    // Negotiate cannot start here (no security service): NTLM is next.
    EXPECT_EQ(Feed(h, offer).status, 1);
    EXPECT_EQ(h.state(), L"ntlm_request");
    h.Start();
    EXPECT_EQ(Feed(h, "HTTP/1.1 407 x\r\nProxy-Authenticate: NTLM TlRMTVNTUAACAAAA\r\n\r\n").status, 2);
    EXPECT_EQ(Feed(h, "HTTP/1.1 407 x\r\nProxy-Authenticate: NTLM\r\n\r\n").status, 1);
    EXPECT_EQ(h.state(), L"digest_verify");

    sock.sent.clear();
    ASSERT_TRUE(h.Start());
    EXPECT_NE(Header(sock.Last(), "Proxy-Authorization").find("Digest username=\"alice\", realm=\"r\", nonce=\"n1\", "
                                                              "uri=\"127.0.0.1:7443\", algorithm=MD5, response="),
              std::string::npos) << sock.Last();
    const std::string stale = "HTTP/1.1 407 x\r\nProxy-Authenticate: Digest realm=\"r\", nonce=\"n2\", stale=true\r\n\r\n";
    EXPECT_EQ(Feed(h, stale).status, 1);
    EXPECT_EQ(h.state(), L"digest_verify");
    h.Start();
    EXPECT_NE(Header(sock.Last(), "Proxy-Authorization").find("nonce=\"n2\""), std::string::npos);
    // Stale again: Digest has had its second chance; Basic is last.
    EXPECT_EQ(Feed(h, stale).status, 1);
    EXPECT_EQ(h.state(), L"base_verify");
    h.Start();
    EXPECT_EQ(Feed(h, "HTTP/1.1 407 x\r\nProxy-Authenticate: Basic realm=\"r\"\r\n\r\n").status, 3);
    const std::wstring& why = h.failure();
    for (const wchar_t* part : {L"Negotiate: ", L"not available (vemnet-absent", L"NTLM: credentials refused",
                                L"Digest: refused after a stale nonce", L"Basic: credentials refused"})
        EXPECT_NE(why.find(part), std::wstring::npos) << part;
    plat::SetSecurityModule("");
}
