#include "tests/support/frame_thread.h"

#include <condition_variable>
#include <mutex>

namespace testing_support {
namespace {

class FnTask : public INetTask {
public:
    explicit FnTask(std::function<void()> fn) : fn_(std::move(fn)) {}
    void Run() override { fn_(); }
    void OnError(int, const char*) override { delete this; }

private:
    std::function<void()> fn_;
};

}  // namespace

FrameThread::FrameThread(int timeout) : frame_(CreateAsyncFrame(0, timeout)) {
    thread_ = std::thread([this] { frame_->Run(); });
}

FrameThread::~FrameThread() {
    frame_->Stop();
    thread_.join();
    delete frame_;
}

void FrameThread::Post(const std::function<void()>& fn) { AddAsyncNetTask(new FnTask(fn), 0, frame_); }

void FrameThread::Settle() {
    RunSync([] {});
    RunSync([] {});
}

void FrameThread::RunSync(const std::function<void()>& fn) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    Post([&] {
        fn();
        std::lock_guard<std::mutex> g(m);
        done = true;
        cv.notify_all();
    });
    std::unique_lock<std::mutex> g(m);
    cv.wait(g, [&] { return done; });
}

}  // namespace testing_support
