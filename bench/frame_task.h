// A lambda run as a task on a frame, for the benchmark programs.
#ifndef VEMNET_BENCH_FRAME_TASK_H
#define VEMNET_BENCH_FRAME_TASK_H

#include "vemnet/frame.h"

template <typename F>
class FnTask : public INetTask {
public:
    explicit FnTask(F f) : f_(f) {}
    void Run() override { f_(); }
    void OnError(int, const char*) override { delete this; }

private:
    F f_;
};

// Queues f on frame; false when the frame did not take it.
template <typename F>
bool Post(IAsyncSelector* frame, F f) {
    return AddAsyncNetTask(new FnTask<F>(f), 0, frame);
}

#endif
