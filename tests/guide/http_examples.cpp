// http_client.cpp against the session server that tests/peers/with-peers.sh
// starts: the echo, what went on the wire, and a refused exchange.
#include <gtest/gtest.h>

#include <string>

#include "tests/conn/conn_harness.h"
#include "tests/guide/examples.h"
#include "tests/http_live/live_support.h"
#include "tests/support/peer_env.h"

using conn_harness::Pattern;

class GuideHttp : public http_live::LiveTest {};

TEST_F(GuideHttp, EchoComesBackAndTheRequestsCarryVerbPathAndHeader) {
    std::string message = Pattern(5000, 21);
    std::string error;
    std::string back = guide::EchoOverHttp(L"127.0.0.1", port, Url(), message, &error);
    EXPECT_EQ("", error);
    EXPECT_TRUE(back == message) << "got " << back.size() << " of " << message.size() << " bytes";

    std::vector<http_live::LoggedRequest> log = Log();
    ASSERT_FALSE(log.empty());
    std::string sent;
    for (const http_live::LoggedRequest& r : log) {
        EXPECT_EQ("POST", r.method);
        EXPECT_EQ(prefix, r.path);
        EXPECT_EQ("guide", r.Header("X-Client"));
        EXPECT_EQ("application/x-www-form-urlencoded", r.Header("Content-Type"));
        sent += http_live::BodyData(r.body);
    }
    EXPECT_TRUE(sent == message);
}

TEST_F(GuideHttp, StatusOtherThan200IsErrorSix) {
    std::string error;
    std::string back = guide::EchoOverHttp(L"127.0.0.1", port, Url("/status/404"), "lost", &error);
    EXPECT_EQ("OnError(6)", error);
    EXPECT_EQ("", back);
}

// auto_client.cpp: the target refuses, so the gateway of with-peers.sh (in
// front of an echo service) carries the message.
TEST(GuideAuto, RefusedTargetIsReachedThroughTheGateway) {
    REQUIRE_PEER_PORT(gateway, "VEMNET_GATEWAY_PORT");
    std::string url = "http://127.0.0.1:" + std::to_string(gateway) + "/";
    std::string message = Pattern(5000, 22);
    std::string error;
    std::string back = guide::EchoAnyWayOut(std::wstring(url.begin(), url.end()).c_str(), L"127.0.0.1",
                                            conn_harness::DeadPort(), message, &error);
    EXPECT_EQ("", error);
    EXPECT_TRUE(back == message) << "got " << back.size() << " of " << message.size() << " bytes";
}
