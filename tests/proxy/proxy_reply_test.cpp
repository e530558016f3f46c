#include <gtest/gtest.h>

#include <string>

#include "conn/proxy/proxy_reply.h"

using VemNetwork::ParseProxyReply;
using VemNetwork::ProxyReply;
using VemNetwork::ReadProxyReply;

namespace {

struct Read {
    bool complete;
    int consumed;
    ProxyReply reply;
};

Read ReadAll(const std::string& bytes) {
    Read r;
    r.consumed = -1;
    r.complete = ReadProxyReply(bytes.data(), int(bytes.size()), &r.reply, &r.consumed);
    return r;
}

}  // namespace

TEST(ParseProxyReply, StatusLineAndHeaders) {
    ProxyReply reply;
    reply.text =
        L"HTTP/1.0  407   Proxy Authentication Required  \r\n"
        L"Proxy-Authenticate:  Basic realm=\"a\" \r\n"
        L"  Via : 1.1 squid\r\n"
        L"no colon here\r\n"
        L"Proxy-Authenticate: NTLM\r\n"
        L"Empty:\r\n"
        L"\r\nbody";
    EXPECT_TRUE(ParseProxyReply(&reply));
    EXPECT_EQ(reply.code, 407);
    EXPECT_EQ(reply.reason, L"Proxy Authentication Required");
    EXPECT_EQ(reply.major, 1);
    EXPECT_EQ(reply.minor, 0);
    ASSERT_EQ(reply.headers.count(L"Proxy-Authenticate"), 1u);
    const auto& values = reply.headers[L"Proxy-Authenticate"];
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0], L"Basic realm=\"a\"");
    EXPECT_EQ(values[1], L"NTLM");
    EXPECT_EQ(reply.headers[L"Via"], std::vector<std::wstring>{L"1.1 squid"});
    EXPECT_EQ(reply.headers[L"Empty"], std::vector<std::wstring>{L""});
    EXPECT_EQ(reply.headers.size(), 3u);
    EXPECT_EQ(reply.text, L"\r\nbody");
    EXPECT_FALSE(reply.malformed);
}

TEST(ParseProxyReply, Failures) {
    ProxyReply notHttp;
    notHttp.text = L"HTTX/1.1 200 OK\r\n\r\n";
    EXPECT_FALSE(ParseProxyReply(&notHttp));
    EXPECT_EQ(notHttp.code, -1);

    ProxyReply noLineEnd;
    noLineEnd.text = L"HTTP/1.1 200 OK";
    EXPECT_FALSE(ParseProxyReply(&noLineEnd));
    EXPECT_EQ(noLineEnd.code, -1);

    ProxyReply noReason;
    noReason.text = L"HTTP/1.1 200\r\nA: b\r\n\r\n";
    EXPECT_FALSE(ParseProxyReply(&noReason));
    EXPECT_EQ(noReason.code, -1);
    EXPECT_FALSE(noReason.malformed);

    ProxyReply unfinished;   // headers not ended by the empty line
    unfinished.text = L"HTTP/1.1 200 OK\r\nA: b\r\n";
    EXPECT_FALSE(ParseProxyReply(&unfinished));
    EXPECT_EQ(unfinished.code, 200);
    EXPECT_EQ(unfinished.headers[L"A"].size(), 1u);

    for (const wchar_t* shortLine : {L"HTTP/\r\n\r\n", L"HTTP/1\r\n\r\n", L"HTTP/1.\r\n\r\n"}) {
        ProxyReply r;
        r.text = shortLine;
        EXPECT_FALSE(ParseProxyReply(&r));
        EXPECT_TRUE(r.malformed);
        EXPECT_EQ(r.code, -1);
    }
}

TEST(ParseProxyReply, CodeIsTheLeadingNumber) {
    ProxyReply r;
    r.text = L"HTTP/1.1 99999999999 Big\r\n\r\n";
    EXPECT_TRUE(ParseProxyReply(&r));
    EXPECT_GT(r.code, 999);   // saturated, not wrapped into a small code
    ProxyReply g;
    g.text = L"HTTP/1.1 abc Odd\r\n\r\n";
    EXPECT_TRUE(ParseProxyReply(&g));
    EXPECT_EQ(g.code, 0);
}

TEST(ReadProxyReply, CompleteAtTheBlankLine) {
    Read r = ReadAll("HTTP/1.1 200 Connection established\r\n\r\n");
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.consumed, 39);
    EXPECT_EQ(r.reply.code, 200);
    EXPECT_EQ(r.reply.length, 39);

    r = ReadAll("HTTP/1.1 200 Connection established\r\n\r");
    EXPECT_FALSE(r.complete);
    EXPECT_EQ(r.consumed, 0);
    EXPECT_FALSE(ReadAll("").complete);
}

TEST(ReadProxyReply, TextEndsAtTheFirstNul) {
    // A NUL before the blank line hides it: not a reply yet.
    EXPECT_FALSE(ReadAll(std::string("HTTP/1.1 200 OK\0\r\n\r\n", 20)).complete);
    Read r = ReadAll(std::string("HTTP/1.1 200 OK\r\n\r\n\0tunnel", 26));
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.consumed, 19);
    EXPECT_EQ(r.reply.length, 19);
}

TEST(ReadProxyReply, BodyCountedByContentLength) {
    const std::string head = "HTTP/1.1 407 Denied\r\nContent-Length: 10\r\n\r\n";
    EXPECT_FALSE(ReadAll(head + "012345678").complete);
    Read r = ReadAll(head + "0123456789" + "HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.consumed, int(head.size()) + 10);

    // Whatever letter case the proxy writes the name in.
    const std::string lower = "HTTP/1.1 407 Denied\r\ncontent-length: 4\r\n\r\n";
    r = ReadAll(lower + "abcdXYZ");
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.consumed, int(lower.size()) + 4);

    // A nonsensical length counts as no body.
    const std::string negative = "HTTP/1.1 407 Denied\r\nContent-Length: -20\r\n\r\n";
    r = ReadAll(negative + "abc");
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.consumed, int(negative.size()));

    // A huge one waits (the handshake timer ends it), without overflowing.
    EXPECT_FALSE(ReadAll("HTTP/1.1 407 D\r\nContent-Length: 99999999999999\r\n\r\nab").complete);
}

TEST(ReadProxyReply, SuccessHasNoBodyWhateverItsLength) {
    const std::string head = "HTTP/1.1 200 Connection established\r\nContent-Length: 50\r\n\r\n";
    Read r = ReadAll(head + "tunnel");
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.consumed, int(head.size()));
}

TEST(ReadProxyReply, HtmlBodyFormWithoutLength) {
    const std::string head = "HTTP/1.1 407 Denied\r\n\r\n";
    Read r = ReadAll(head + "<Html><Body>no</Body></Html>rest");
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.consumed, int(head.size()) + 28);

    // The end marker not there yet, or another letter case: headers only.
    r = ReadAll(head + "<Html><Body>no");
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.consumed, int(head.size()));
    r = ReadAll(head + "<html><body>no</body></html>");
    EXPECT_EQ(r.consumed, int(head.size()));

    // The marker inside a header does not cut the reply short.
    const std::string odd = "HTTP/1.1 407 Denied\r\nX-Note: </Body></Html>\r\n\r\n";
    r = ReadAll(odd + "<Html><Body>x</Body></Html>");
    EXPECT_EQ(r.consumed, int(odd.size()) + 27);
}

TEST(ReadProxyReply, ChunkedBodyEndsAtItsLastChunk) {
    const std::string head = "HTTP/1.1 407 Denied\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string body = "5\r\nhello\r\n1a;ext=1\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\nX-T: 1\r\n\r\n";
    const std::string next = "HTTP/1.1 200 OK\r\n\r\n";
    for (size_t cut = 0; cut < body.size(); ++cut)
        EXPECT_FALSE(ReadAll(head + body.substr(0, cut)).complete) << "cut at " << cut;
    Read r = ReadAll(head + body + next);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(r.consumed, int(head.size() + body.size()));
}
