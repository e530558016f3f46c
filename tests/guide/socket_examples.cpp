// frame_echo.cpp, udp_send.cpp and tasks_timers.cpp against loopback peers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/conn/conn_harness.h"
#include "tests/guide/examples.h"
#include "tests/support/socket_helpers.h"
#include "tests/support/wait.h"
#include "tests/support/raw_sockets.h"

using conn_harness::Pattern;
using conn_harness::TestServer;

TEST(GuideFrameEcho, MessagesOfSeveralSizesComeBackWhole) {
    // 200000 bytes take many reads and writes but fit both queues.
    for (size_t size : {size_t(1), size_t(8192), size_t(200000)}) {
        SCOPED_TRACE(size);
        std::string message = Pattern(size, unsigned(size) + 3);
        std::string error;
        std::string back = guide::EchoOnOwnFrame(message, &error);
        EXPECT_EQ("", error);
        EXPECT_EQ(message.size(), back.size());
        EXPECT_TRUE(back == message) << "the echo differs";
    }
}

TEST(GuideUdp, OneDatagramArrivesAsSent) {
    EXPECT_EQ(testing_support::LoopbackIp(), guide::Ipv4(127, 0, 0, 1));
    plat::socket_t receiver = plat::OpenSocket(false);
    ASSERT_NE(plat::kInvalidSocket, receiver);
    ASSERT_EQ(0, plat::Bind(receiver, testing_support::LoopbackIp(), 0));
    int port = 0;
    ASSERT_EQ(0, plat::GetSockName(receiver, nullptr, &port));
    plat::SetNonBlocking(receiver);

    std::string payload = Pattern(1200, 9);
    std::string error;
    EXPECT_EQ(int(payload.size()), guide::SendDatagram(port, payload, &error)) << error;
    char buf[2048];
    int got = -1;
    testing_support::WaitFor([&] {
        got = testing_support::RecvFrom(receiver, buf, sizeof buf, nullptr, nullptr);
        return got >= 0;
    });
    plat::CloseSocket(receiver);
    ASSERT_EQ(int(payload.size()), got);
    EXPECT_TRUE(std::string(buf, size_t(got)) == payload);
}

TEST(GuideTasks, FrontOneRunsFirstAndAThrowingTaskIsReported) {
    EXPECT_EQ("C A B !refused", guide::TaskOrder());
}

TEST(GuideTimers, HeartbeatBeatsOnTimeAndEveryPingArrives) {
    TestServer echo;
    std::string error;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(3, guide::RunHeartbeat(echo.port(), 3, 60, &error));
    long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    EXPECT_EQ("", error);
    // A one-shot timer never fires early; three of them follow each other.
    EXPECT_GE(ms, 175);
    ASSERT_TRUE(echo.WaitReceived(0, 12));
    EXPECT_EQ("pingpingping", echo.Received(0));
}

TEST(GuideTimers, HeartbeatToAClosedPortEndsWithItsConnectStatus) {
    std::string error;
    EXPECT_EQ(0, guide::RunHeartbeat(testing_support::UnusedPort(), 3, 60, &error));
    EXPECT_EQ("OnConnect(1)", error);
}
