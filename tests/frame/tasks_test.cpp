#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <set>
#include <thread>

#include "frame/base_selector.h"
#include "frame/default_frame.h"
#include "platform/platform.h"
#include "tests/frame/frame_test_util.h"
#include "tests/support/wait.h"

using testing_support::WaitFor;

namespace {

struct Recorder {
    std::mutex lock;
    std::vector<std::string> order;
    void Add(const std::string& s) {
        std::lock_guard<std::mutex> g(lock);
        order.push_back(s);
    }
    std::vector<std::string> Get() {
        std::lock_guard<std::mutex> g(lock);
        return order;
    }
};

}  // namespace

TEST(FrameTasks, FrontOneGoesToTheHeadOtherValuesToTheTail) {
    IAsyncSelector* frame = CreateAsyncFrame(0, 20);
    ASSERT_NE(frame, nullptr);
    Recorder rec;
    ASSERT_TRUE(AddAsyncNetTask(new FnTask([&] { rec.Add("a0"); }), 0, frame));
    ASSERT_TRUE(AddAsyncNetTask(new FnTask([&] { rec.Add("b2"); }), 2, frame));
    ASSERT_TRUE(AddAsyncNetTask(new FnTask([&] { rec.Add("c1"); }), 1, frame));
    ASSERT_TRUE(AddAsyncNetTask(new FnTask([&] { rec.Add("d-1"); }), -1, frame));
    std::thread t([frame] { frame->Run(); });
    EXPECT_TRUE(WaitFor([&] { return rec.Get().size() == 4; }));
    frame->Stop();
    t.join();
    delete frame;
    EXPECT_EQ(rec.Get(), (std::vector<std::string>{"c1", "a0", "b2", "d-1"}));
}

TEST(FrameTasks, TasksQueuedByTasksAndThoseBehindThemRunOnAFrameWithoutTimeLimit) {
    IAsyncSelector* frame = CreateAsyncFrame(0, -1);
    std::thread t([frame] { frame->Run(); });
    Recorder rec;
    // Holding the frame lock keeps the woken frame from running "first"
    // before "second" is queued, however slowly this thread is scheduled.
    std::unique_ptr<FrameGuard> hold(new FrameGuard(static_cast<BaseSelector*>(frame)));
    AddAsyncNetTask(new FnTask([&] {
                        rec.Add("first");
                        AddAsyncNetTask(new FnTask([&] { rec.Add("queued-by-first"); }), 1, frame);
                    }),
                    0, frame);
    AddAsyncNetTask(new FnTask([&] { rec.Add("second"); }), 0, frame);
    hold.reset();
    // A task queued by a task wakes nobody; the frame must not wait for an
    // event before running it (there will be none).
    EXPECT_TRUE(WaitFor([&] { return rec.Get().size() == 3; }));
    // Queued while the queue was not empty, from this thread.
    hold.reset(new FrameGuard(static_cast<BaseSelector*>(frame)));
    AddAsyncNetTask(new FnTask([&] {
                        rec.Add("host");
                        AddAsyncNetTask(new FnTask([&] { rec.Add("queued-by-host-task"); }), 0, frame);
                    }),
                    0, frame);
    AddAsyncNetTask(new FnTask([&] { rec.Add("host-behind"); }), 0, frame);
    hold.reset();
    EXPECT_TRUE(WaitFor([&] { return rec.Get().size() == 6; }));
    frame->Stop();
    t.join();
    delete frame;
    // Even at the head of the queue it waits for the next batch.
    EXPECT_EQ(rec.Get(), (std::vector<std::string>{"first", "second", "queued-by-first", "host", "host-behind",
                                                   "queued-by-host-task"}));
}

TEST(FrameTasks, TaskQueuedFromAnotherThreadWakesAWaitingFrame) {
    IAsyncSelector* frame = CreateAsyncFrame(0, 5000);
    std::thread t([frame] { frame->Run(); });
    std::atomic<bool> started(false);
    AddAsyncNetTask(new FnTask([&] { started = true; }), 0, frame);
    ASSERT_TRUE(WaitFor([&] { return started.load(); }));   // then it waits its 5000 ms
    std::atomic<uint64_t> ranAt(0);
    AddAsyncNetTask(new FnTask([&] { ranAt = plat::TickCount64(); }), 0, frame);
    EXPECT_TRUE(WaitFor([&] { return ranAt.load() != 0; }, 4000)) << "the task waited for the frame's timeout";
    frame->Stop();
    t.join();
    delete frame;
}

TEST(FrameTasks, ThrowingTaskGetsOnErrorAndTheLoopGoesOn) {
    IAsyncSelector* frame = CreateAsyncFrame(0, 20);
    std::string text;
    int code = -1;
    bool deleted = false;
    std::atomic<bool> nextRan(false);

    class Throwing : public INetTask {
    public:
        Throwing(std::string* text, int* code, bool* deleted) : text_(text), code_(code), deleted_(deleted) {}
        ~Throwing() override { *deleted_ = true; }
        void Run() override {
            plat::SetLastSocketError(10054);
            throw std::runtime_error("task failed on purpose");
        }
        void OnError(int code, const char* text) override {
            *code_ = code;
            *text_ = text;
            throw std::logic_error("OnError may throw too");
        }

    private:
        std::string* text_;
        int* code_;
        bool* deleted_;
    };

    Throwing* task = new Throwing(&text, &code, &deleted);
    AddAsyncNetTask(task, 0, frame);
    AddAsyncNetTask(new FnTask([&] { nextRan = true; }), 0, frame);
    std::thread t([frame] { frame->Run(); });
    EXPECT_TRUE(WaitFor([&] { return nextRan.load(); }));
    frame->Stop();
    t.join();
    delete frame;
    EXPECT_EQ(text, "task failed on purpose");
    EXPECT_EQ(code, 10054);
    EXPECT_FALSE(deleted) << "a task whose Run threw is not deleted by the frame";
    delete task;
}

TEST(FrameExports, KindOtherThanZeroGivesNull) {
    EXPECT_EQ(CreateAsyncFrame(1, 100), nullptr);
    EXPECT_EQ(CreateAsyncFrame(-1, 100), nullptr);
}

TEST(FrameExports, NullFrameMeansTheDefaultFrameOnItsOwnThread) {
    std::atomic<bool> ran(false);
    std::thread::id where;
    ASSERT_TRUE(AddAsyncNetTask(new FnTask([&] {
                                    where = std::this_thread::get_id();
                                    ran = true;
                                }),
                                0, nullptr));
    ASSERT_TRUE(WaitFor([&] { return ran.load(); }));
    EXPECT_NE(where, std::this_thread::get_id());
    BaseSelector* def = GetDefaultFrame();
    ASSERT_NE(def, nullptr);
    EXPECT_EQ(def, GetDefaultFrame());
    EXPECT_TRUE(def->IsRunning());
}

TEST(FrameExports, DefaultFrameIsMadeOnceUnderConcurrentFirstCalls) {
    // Other tests may have made it already; what matters is that every
    // thread sees the same frame and every task runs on one thread.
    std::vector<std::thread> threads;
    std::vector<BaseSelector*> seen(8, nullptr);
    std::atomic<int> ran(0);
    std::mutex lock;
    std::set<std::thread::id> runners;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            seen[size_t(i)] = GetDefaultFrame();
            AddAsyncNetTask(new FnTask([&] {
                                {
                                    std::lock_guard<std::mutex> g(lock);
                                    runners.insert(std::this_thread::get_id());
                                }
                                ++ran;
                            }),
                            0, nullptr);
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_TRUE(WaitFor([&] { return ran.load() == 8; }));
    for (BaseSelector* s : seen) EXPECT_EQ(s, seen[0]);
    std::lock_guard<std::mutex> g(lock);
    EXPECT_EQ(runners.size(), 1u);
}

TEST(FrameExports, StoppedFrameReturnsFromRunAtOnce) {
    IAsyncSelector* frame = CreateAsyncFrame(0, 5000);
    frame->Stop();
    uint64_t start = plat::TickCount64();
    frame->Run();
    EXPECT_LT(plat::TickCount64() - start, 1000u);
    EXPECT_FALSE(frame->IsRunning());
    delete frame;
}

TEST(FrameExports, NegativeTimeoutFrameStillRunsTasksAndStops) {
    IAsyncSelector* frame = CreateAsyncFrame(0, -1);
    std::atomic<int> ran(0);
    std::thread t([frame] { frame->Run(); });
    for (int i = 0; i < 3; ++i) {
        AddAsyncNetTask(new FnTask([&] { ++ran; }), 0, frame);
        EXPECT_TRUE(WaitFor([&] { return ran.load() == i + 1; }));
    }
    frame->Stop();
    t.join();
    delete frame;
}
