// The request body and the handling of reply bodies.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>

#include "conn/auth/base64.h"
#include "http/http_net_context.h"
#include "http/http_send_task.h"

using VemNetwork::BuildRequestBody;
using VemNetwork::ClassifyReply;
using VemNetwork::HttpNetContext;
using VemNetwork::ReplyKind;

namespace {

std::string Bytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = char(gen() & 0xFF);
    return s;
}

ReplyKind Classify(const std::string& body) { return ClassifyReply(body.data(), uint32_t(body.size())); }

}  // namespace

TEST(RequestBody, EmptyMessageCarriesOnlyTheSession) {
    EXPECT_EQ("session=&data=", BuildRequestBody("", ""));
    EXPECT_EQ("session=S42abc&data=", BuildRequestBody("S42abc", ""));
}

TEST(RequestBody, SessionAndBase64AreNotEscaped) {
    // '+', '/' and '=' of the Base64 text and '&' or '%' of an identifier go
    // out as they are.
    std::string msg("\xfb\xff\xbf", 3);
    EXPECT_EQ("session=a%b&data=+/+/", BuildRequestBody("a%b", msg));
}

TEST(RequestBody, ShortMessages) {
    EXPECT_EQ("session=s&data=YQ==", BuildRequestBody("s", "a"));
    EXPECT_EQ("session=s&data=YWI=", BuildRequestBody("s", "ab"));
    EXPECT_EQ("session=s&data=YWJj", BuildRequestBody("s", "abc"));
    EXPECT_EQ("session=s&data=YWJjZA==", BuildRequestBody("s", "abcd"));
}

TEST(RequestBody, LineBreakAfterEvery76CharactersOfCompleteGroups) {
    const std::string prefix = "session=&data=";
    std::string m57 = Bytes(57, 1);
    std::string b57 = BuildRequestBody("", m57);
    ASSERT_EQ(prefix.size() + 76 + 2, b57.size());
    EXPECT_EQ(0u, b57.compare(0, prefix.size(), prefix));
    EXPECT_EQ("\r\n", b57.substr(b57.size() - 2));
    EXPECT_EQ(std::string::npos, b57.substr(prefix.size(), 76).find_first_of("\r\n="));
    EXPECT_EQ(m57, Base64DecodeString(b57.substr(prefix.size())));

    std::string m58 = Bytes(58, 2);
    std::string b58 = BuildRequestBody("", m58);
    ASSERT_EQ(prefix.size() + 76 + 2 + 4, b58.size());
    EXPECT_EQ("\r\n", b58.substr(prefix.size() + 76, 2));
    EXPECT_EQ("==", b58.substr(b58.size() - 2));
    EXPECT_EQ(m58, Base64DecodeString(b58.substr(prefix.size())));

    std::string m114 = Bytes(114, 3);
    std::string b114 = BuildRequestBody("", m114);
    ASSERT_EQ(prefix.size() + 2 * 78, b114.size());
    EXPECT_EQ("\r\n", b114.substr(prefix.size() + 76, 2));
    EXPECT_EQ("\r\n", b114.substr(b114.size() - 2));
}

TEST(RequestBody, LargeMessageRoundTrips) {
    std::string msg = Bytes(100 * 1024, 4);
    std::string body = BuildRequestBody("id", msg);
    EXPECT_EQ(msg, Base64DecodeString(body.substr(std::string("session=id&data=").size())));
}

TEST(ReplyBody, ClassificationTable) {
    EXPECT_EQ(ReplyKind::Ignore, Classify(""));
    EXPECT_EQ(ReplyKind::Ignore, Classify("data"));
    EXPECT_EQ(ReplyKind::Ignore, Classify("sess"));

    EXPECT_EQ(ReplyKind::Empty, Classify("data="));
    EXPECT_EQ(ReplyKind::Empty, Classify("dataX"));
    EXPECT_EQ(ReplyKind::Empty, Classify("hello"));
    EXPECT_EQ(ReplyKind::Empty, Classify("sessi"));
    EXPECT_EQ(ReplyKind::Empty, Classify("abcdef"));
    EXPECT_EQ(ReplyKind::Empty, Classify("12345678"));
    EXPECT_EQ(ReplyKind::Empty, Classify("session="));          // exactly 8: no identifier
    EXPECT_EQ(ReplyKind::Empty, Classify("sessionX=1"));
    EXPECT_EQ(ReplyKind::Empty, Classify("<html>not ours</html>"));

    EXPECT_EQ(ReplyKind::Data, Classify("data=Y"));
    EXPECT_EQ(ReplyKind::Data, Classify("data=YWJj"));
    EXPECT_EQ(ReplyKind::Data, Classify("data=\r\n"));
    EXPECT_EQ(ReplyKind::Data, Classify("data=session=x"));

    EXPECT_EQ(ReplyKind::Session, Classify("session=1"));
    EXPECT_EQ(ReplyKind::Session, Classify("session=S1abc&data="));
}

TEST(ReplyBody, Base64WithLineBreaksDecodesLikeWithout) {
    std::string raw = Bytes(300, 5);
    std::string broken = Base64EncodeString(raw, 0);
    std::string flat = Base64EncodeString(raw, BASE64_FLAG_NOCRLF);
    ASSERT_NE(broken, flat);
    EXPECT_EQ(raw, Base64DecodeString(broken));
    EXPECT_EQ(raw, Base64DecodeString(flat));
}

TEST(ContextRecord, Defaults) {
    HttpNetContext c;
    EXPECT_TRUE(c.running.load());
    EXPECT_EQ(nullptr, c.conn.load());
    EXPECT_EQ(1000, c.baseInterval);
    EXPECT_EQ(7000, c.maxInterval);
    EXPECT_EQ(1000, c.interval.load());
    EXPECT_EQ(0u, c.deadline.load());
    EXPECT_EQ(4, c.proxy.type);
    EXPECT_TRUE(c.proxy.host.empty());
    EXPECT_EQ(0, c.proxy.port);
    EXPECT_TRUE(c.session.empty());
    EXPECT_TRUE(c.recvBuffer.empty());
    EXPECT_EQ(10000, HttpNetContext::connectTimeoutMs.load());
    EXPECT_EQ(10000, HttpNetContext::sendTimeoutMs.load());
}

TEST(ContextRecord, HeadersAlwaysStartWithTheFormContentType) {
    HttpNetContext c;
    c.SetHeaders(L"");
    EXPECT_EQ(L"Content-Type: application/x-www-form-urlencoded\r\n", c.headers);
    c.SetHeaders(L"X-One: 1\r\nX-Two: 2\r\n");
    EXPECT_EQ(L"Content-Type: application/x-www-form-urlencoded\r\nX-One: 1\r\nX-Two: 2\r\n", c.headers);
}

TEST(ContextRecord, PollIntervalSettingLeavesTheCurrentInterval) {
    HttpNetContext c;
    c.SetPollInterval(50, 350);
    EXPECT_EQ(50, c.baseInterval);
    EXPECT_EQ(350, c.maxInterval);
    EXPECT_EQ(1000, c.interval.load());
}

TEST(ContextRecord, IntervalDoublingSaturates) {
    HttpNetContext c;
    c.interval.store(1000);
    c.DoubleInterval();
    EXPECT_EQ(2000, c.interval.load());
    for (int i = 0; i < 40; ++i) c.DoubleInterval();
    EXPECT_EQ(INT_MAX, c.interval.load());
}

TEST(ContextRecord, DeadlineSurvivesTheTickWrap) {
    HttpNetContext c;
    EXPECT_FALSE(c.DeadlinePassed(12345));   // disarmed
    c.deadline.store(0xFFFFFFF0u);
    EXPECT_FALSE(c.DeadlinePassed(0xFFFFFFE0u));
    EXPECT_FALSE(c.DeadlinePassed(0xFFFFFFF0u));   // not yet later
    EXPECT_TRUE(c.DeadlinePassed(0xFFFFFFF1u));
    EXPECT_TRUE(c.DeadlinePassed(0x00000010u));    // after the wrap
    c.deadline.store(0x00000010u);
    EXPECT_FALSE(c.DeadlinePassed(0xFFFFFFF0u));   // before the wrap
    EXPECT_TRUE(c.DeadlinePassed(0x00000011u));
    c.ArmDeadline(0);
    EXPECT_EQ(1u, c.deadline.load());   // 0 would mean disarmed
}

TEST(ContextRecord, SetTimeoutArmsFromNow) {
    HttpNetContext c;
    EXPECT_EQ(0, c.SetTimeout(60000));
    EXPECT_NE(0u, c.deadline.load());
    EXPECT_FALSE(c.DeadlinePassed(plat::TickCount()));
    c.SetTimeout(-1000);
    EXPECT_TRUE(c.DeadlinePassed(plat::TickCount()));
}

TEST(ContextRecord, QueueIsFifoAndRefusesTasksOnceFinished) {
    HttpNetContext c;
    std::string order;
    c.PushTask(L"senddata", [&] { order += "a"; });
    c.PushTask(L"senddata", [&] { order += "b"; });
    while (VemNetwork::HttpSendTask* t = c.PopTaskOrFinish()) {
        t->Run();
        delete t;
    }
    EXPECT_EQ("ab", order);
    c.PushTask(L"senddata", [&] { order += "c"; });
    EXPECT_EQ(nullptr, c.PopTask());
}
