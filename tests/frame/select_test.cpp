// How BaseSocket keeps the frame's handler set in step with its interest.
#include <gtest/gtest.h>

#include "tests/frame/frame_test_util.h"
#include "tests/support/loopback_pair.h"

namespace {

// A frame that counts the registrations it is asked for; never run.
class CountingFrame : public SelSelector {
public:
    CountingFrame() : SelSelector(10) {}
    void UpdateHandler(Handler* h, unsigned remove, unsigned add) override {
        ++updates;
        SelSelector::UpdateHandler(h, remove, add);
    }
    int updates = 0;
};

struct SelectFixture : ::testing::Test {
    CountingFrame frame;
    plat::socket_t a = plat::kInvalidSocket, b = plat::kInvalidSocket;
    std::unique_ptr<ProbeSocket> sock;
    void SetUp() override {
        ASSERT_TRUE(testing_support::ConnectedPair(&a, &b));
        sock.reset(new ProbeSocket(&frame, a));
    }
    void TearDown() override {
        sock.reset();
        plat::CloseSocket(b);
    }
};

}  // namespace

TEST_F(SelectFixture, FirstSelectRegistersAndARepeatDoesNotCallTheFrame) {
    sock->Select(0, EV_READ);
    EXPECT_EQ(frame.updates, 1);
    EXPECT_TRUE(sock->helper().flags & SF_REGISTERED);
    EXPECT_EQ(frame.InterestOf(sock.get()), int(EV_READ));
    sock->Select(0, EV_READ);
    EXPECT_EQ(frame.updates, 1);
}

TEST_F(SelectFixture, RemovingAndAddingTheSameBitChangesNothing) {
    sock->Select(0, EV_READ);
    sock->Select(EV_READ, EV_READ);
    sock->Select(EV_WRITE, 0);   // not wanted, nothing to drop
    EXPECT_EQ(frame.updates, 1);
    EXPECT_EQ(sock->Interest(), unsigned(EV_READ));
}

TEST_F(SelectFixture, SwapReadForWriteInOneFrameCall) {
    sock->Select(0, EV_READ);
    sock->Select(EV_READ, EV_WRITE);
    EXPECT_EQ(frame.updates, 2);
    EXPECT_EQ(sock->Interest(), unsigned(EV_WRITE));
    EXPECT_EQ(frame.InterestOf(sock.get()), int(EV_WRITE));
}

TEST_F(SelectFixture, InterestFallingToZeroKeepsTheEntryUntilUnregister) {
    sock->Select(0, EV_READ);
    sock->Select(EV_READ, 0);
    EXPECT_EQ(frame.InterestOf(sock.get()), 0);
    EXPECT_TRUE(sock->helper().flags & SF_REGISTERED);
    sock->Unregister();
    EXPECT_EQ(frame.InterestOf(sock.get()), -1);
    EXPECT_FALSE(sock->helper().flags & SF_REGISTERED);
}

TEST_F(SelectFixture, DeletedSocketLeavesTheSetAndClosesItsHandle) {
    sock->Select(0, EV_READ | EV_WRITE);
    ProbeSocket* raw = sock.release();
    delete raw;
    EXPECT_EQ(frame.InterestOf(raw), -1);
    EXPECT_EQ(frame.HandlerCount(), 0u);
    // The handle is closed: the peer reads end of stream.
    char c;
    EXPECT_EQ(plat::Recv(b, &c, 1), 0);
}

TEST(Select, InvalidSocketIsRefused) {
    CountingFrame frame;
    ProbeSocket s(&frame, plat::kInvalidSocket);
    try {
        s.Select(0, EV_READ);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "select with invalid socket");
    }
    EXPECT_EQ(frame.updates, 0);
}
