// The per-thread cache of buffer regions: a region comes back for the next
// request of its size, the cache keeps no more than its bound, and a region
// released on another thread is not lost. The asan stage's leak checker
// catches regions a thread's end fails to free.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "sockets/block_buffer.h"

namespace {

using Buf = BlockBuffer<default_block_allocator_malloc_free<8192>, 32>;

size_t Cached() { return block_region::ThreadCache().cached; }

TEST(RegionCache, AReleasedRegionServesTheNextRequestOfItsSize) {
    std::thread([] {
        void* a = block_region::Allocate(65536);
        ASSERT_NE(a, nullptr);
        std::memset(a, 0x5a, 65536);   // the whole region is usable
        block_region::Release(a);
        EXPECT_EQ(Cached(), 65536u);
        // Another size does not take it.
        void* other = block_region::Allocate(8192);
        EXPECT_EQ(Cached(), 65536u);
        void* b = block_region::Allocate(65536);
        EXPECT_EQ(a, b);
        EXPECT_EQ(Cached(), 0u);
        block_region::Release(b);
        block_region::Release(other);
        EXPECT_EQ(Cached(), 65536u + 8192u);
    }).join();
}

TEST(RegionCache, KeepsAtMostTwoMebibytesPerThread) {
    std::thread([] {
        const size_t size = 256 * 1024;
        std::vector<void*> held;
        for (int i = 0; i < 12; ++i) held.push_back(block_region::Allocate(size));
        for (void* p : held) block_region::Release(p);
        // 8 of the 12 fit in 2 MiB; the other 4 went back to the heap.
        EXPECT_EQ(Cached(), size_t(2) << 20);
        std::set<void*> old(held.begin(), held.end());
        std::vector<void*> again;
        for (int i = 0; i < 8; ++i) {
            again.push_back(block_region::Allocate(size));
            EXPECT_TRUE(old.count(again.back()));
        }
        EXPECT_EQ(Cached(), 0u);
        for (void* p : again) block_region::Release(p);
    }).join();
}

TEST(RegionCache, SizesThatAreNotWholeUnitsBypassTheCache) {
    std::thread([] {
        void* a = block_region::Allocate(5000);
        ASSERT_NE(a, nullptr);
        std::memset(a, 1, 5000);
        block_region::Release(a);
        EXPECT_EQ(Cached(), 0u);
        // Larger than the largest queue: not kept either.
        void* b = block_region::Allocate(512 * 1024);
        std::memset(b, 2, 512 * 1024);
        block_region::Release(b);
        EXPECT_EQ(Cached(), 0u);
    }).join();
}

TEST(RegionCache, BuffersHandedBetweenThreadsKeepTheirBytes) {
    // Filled on one thread, drained and released on another: the region
    // joins the second thread's cache and serves its next buffer intact.
    const std::string text(100000, 'q');
    Buf* buf = new Buf;
    std::thread([&] { ASSERT_TRUE(buf->append(text.data(), uint32_t(text.size()))); }).join();
    std::thread([&] {
        EXPECT_EQ(std::string(buf->data(), buf->size()), text);
        delete buf;
        Buf second;
        std::string other(100000, 'r');
        ASSERT_TRUE(second.append(other.data(), uint32_t(other.size())));
        EXPECT_EQ(std::string(second.data(), second.size()), other);
    }).join();
}

}  // namespace
