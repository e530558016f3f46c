// Host threads queue tasks and register handlers while the frame runs; meant
// to run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/frame/frame_test_util.h"
#include "tests/support/frame_thread.h"
#include "tests/support/loopback_pair.h"
#include "tests/support/wait.h"

using testing_support::WaitFor;

TEST(FrameConcurrency, HostThreadsQueueTasksAndRegisterHandlersWhileTheFrameRuns) {
    testing_support::FrameThread ft(5);
    BaseSelector* frame = static_cast<BaseSelector*>(ft.frame());
    const int kThreads = 4, kRounds = 60;
    std::atomic<int> tasksRun(0), reads(0), deletions(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                AddAsyncNetTask(new FnTask([&] { ++tasksRun; }), i % 3, frame);
                plat::socket_t a, b;
                if (!testing_support::ConnectedPair(&a, &b)) {
                    ADD_FAILURE() << "no loopback pair";
                    return;
                }
                ProbeSocket* h = new ProbeSocket(frame, a, &deletions);
                h->onEvent = [&reads, h, frame](unsigned mask) {
                    if (mask != EV_READ) return;
                    char c;
                    plat::Recv(h->GetHandle(), &c, 1);
                    ++reads;
                    frame->ReleaseHandler(h);
                };
                {
                    FrameGuard g(frame);
                    h->Select(0, EV_READ);
                    h->SetTimer(60000);
                }
                plat::Send(b, "k", 1);
                plat::CloseSocket(b);
            }
        });
    }
    for (auto& t : threads) t.join();
    const int total = kThreads * kRounds;
    EXPECT_TRUE(WaitFor([&] { return tasksRun.load() == total && deletions.load() == total; }, 20000))
        << tasksRun.load() << " tasks, " << deletions.load() << " deletions";
    EXPECT_EQ(reads.load(), total);
}
