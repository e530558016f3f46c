#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "frame/exceptions.h"
#include "sockets/sock_buffer.h"
#include "tests/support/loopback_pair.h"
#include "tests/support/wait.h"

using Big = BlockBuffer<default_block_allocator_malloc_free<8192>, 32>;

TEST(BlockBuffer, ZeroBytesAllocateNothing) {
    Big b;
    EXPECT_TRUE(b.reserve(0));
    EXPECT_TRUE(b.append("x", 0));
    b.append_all("x", 0);
    EXPECT_EQ(b.blocks(), 0u);
    EXPECT_EQ(b.data(), nullptr);
    b.consume(0);
    EXPECT_EQ(b.size(), 0u);
}

TEST(BlockBuffer, GrowthIsExactToTheBlock) {
    Big b;
    std::string first(8000, 'a');
    ASSERT_TRUE(b.append(first.data(), 8000));
    EXPECT_EQ(b.blocks(), 1u);
    ASSERT_TRUE(b.append(std::string(192, 'b').data(), 192));
    EXPECT_EQ(b.blocks(), 1u) << "8192 bytes fit one block";
    ASSERT_TRUE(b.append("c", 1));
    EXPECT_EQ(b.blocks(), 2u);
    EXPECT_EQ(std::string(b.data(), 8000), first);
    EXPECT_EQ(b.data()[8192], 'c');
    // A large append takes the smallest count that fits, not a doubling.
    ASSERT_TRUE(b.append(std::string(40000, 'd').data(), 40000));
    EXPECT_EQ(b.blocks(), (8193u + 40000u + 8191u) / 8192u);
}

TEST(BlockBuffer, TheLimitIsExactlyThirtyTwoBlocks) {
    Big b;
    std::string all(262144, 'x');
    all[0] = 'F';
    all[262143] = 'L';
    ASSERT_TRUE(b.append(all.data(), 262144));
    EXPECT_EQ(b.blocks(), 32u);
    EXPECT_FALSE(b.append("y", 1));
    EXPECT_THROW(b.append_all("y", 1), buffer_overflow_all);
    try {
        b.append_all("y", 1);
    } catch (const buffer_overflow& e) {
        EXPECT_STREQ(e.what(), "output buffer overflow [all]");
    }
    EXPECT_EQ(b.size(), 262144u);
    EXPECT_EQ(std::string(b.data(), b.size()), all);
}

TEST(BlockBuffer, RefusedAppendLeavesTheContentsAsTheyWere) {
    SmallBlockBuffer b;
    ASSERT_TRUE(b.append(std::string(100000, 'p').data(), 100000));
    EXPECT_FALSE(b.append(std::string(31073, 'q').data(), 31073));
    EXPECT_EQ(b.size(), 100000u);
    EXPECT_TRUE(b.append(std::string(31072, 'q').data(), 31072));
    EXPECT_EQ(b.size(), 131072u);
}

TEST(BlockBuffer, ConsumeMovesTheRestToTheFrontAndEmptyFreesStorage) {
    SmallBlockBuffer b;
    b.append("0123456789", 10);
    b.consume(3);
    EXPECT_EQ(std::string(b.data(), b.size()), "3456789");
    b.consume(100);
    EXPECT_EQ(b.size(), 0u);
    EXPECT_EQ(b.blocks(), 0u);
    EXPECT_EQ(b.data(), nullptr);
}

namespace {

// A queue whose receives go to a real socket with plenty waiting, so each
// receive shows how much room it was offered.
struct Fed {
    plat::socket_t near, far;
    Sockethelper helper;
    Fed() {
        EXPECT_TRUE(testing_support::ConnectedPair(&near, &far));
        helper.sock = near;
        std::string lots(300000, 'z');
        // Written from a thread: the kernel holds less than this at once.
        writer = std::thread([this, lots] { testing_support::SendAll(far, lots.data(), int(lots.size())); });
        plat::SleepMs(100);
    }
    ~Fed() {
        helper.CloseHandle();
        writer.join();
        plat::CloseSocket(far);
    }
    std::thread writer;
};

}  // namespace

TEST(SockBuffer, FreshBufferOffersOneBlock) {
    Fed fed;
    SocketQueue q;
    uint32_t offer = 0;   // a fresh socket's
    int r = q.read_from(fed.helper, offer);
    EXPECT_EQ(q.blocks(), 1u);
    EXPECT_GT(r, 0);
    EXPECT_LE(r, 8192);
}

// A bulk stream is read in pieces larger than a block: a receive that took
// all it was offered doubles the next offer, even into an emptied queue.
TEST(SockBuffer, AReceiveThatFillsItsOfferEnlargesTheNext) {
    Fed fed;
    SocketQueue q;
    uint32_t offer = 0;   // a fresh socket's
    ASSERT_EQ(8192, q.read_from(fed.helper, offer));
    q.consume(8192);
    EXPECT_EQ(16384, q.read_from(fed.helper, offer));
    q.consume(16384);
    EXPECT_EQ(32768, q.read_from(fed.helper, offer));
}

TEST(SockBuffer, GrowsOnlyWhenLessThanHalfABlockIsFree) {
    Fed fed;
    SocketQueue q;
    uint32_t offer = 0;   // a fresh socket's
    std::string pad(4096, 'p');
    q.append(pad.data(), 4096);   // 1 block, exactly 4096 free
    int r = q.read_from(fed.helper, offer);
    EXPECT_EQ(q.blocks(), 1u);
    EXPECT_LE(r, 4096);

    SocketQueue q2;
    uint32_t offer2 = 0;
    q2.append(std::string(4097, 'p').data(), 4097);
    int r2 = q2.read_from(fed.helper, offer2);
    EXPECT_EQ(q2.blocks(), 2u);
    EXPECT_LE(r2, 2 * 8192 - 4097);
}

TEST(SockBuffer, FullQueueRaisesWithoutReceiving) {
    Fed fed;
    SocketQueue q;
    uint32_t offer = 0;   // a fresh socket's
    q.append(std::string(262144 - 100, 'p').data(), 262144 - 100);
    int r = q.read_from(fed.helper, offer);
    EXPECT_LE(r, 100);
    EXPECT_EQ(q.blocks(), 32u);
    while (q.size() < 262144) q.read_from(fed.helper, offer);
    try {
        q.read_from(fed.helper, offer);
        FAIL();
    } catch (const buffer_overflow& e) {
        EXPECT_STREQ(e.what(), "input buffer overflow");
    }
    EXPECT_EQ(q.size(), 262144u);
}

TEST(SockBuffer, PeerCloseReadsZeroAndAFailedReceivePassesTheSocketError) {
    plat::socket_t a, b;
    ASSERT_TRUE(testing_support::ConnectedPair(&a, &b));
    Sockethelper h;
    h.sock = a;
    SocketQueue q;
    uint32_t offer = 0;   // a fresh socket's
    h.SetNonBlocking();
    EXPECT_THROW(q.read_from(h, offer), socket_error);
    EXPECT_EQ(q.size(), 0u);
    plat::CloseSocket(b);
    EXPECT_TRUE(testing_support::WaitFor([&] {
        try {
            return q.read_from(h, offer) == 0;
        } catch (const socket_error&) {
            return false;
        }
    }));
}
