// libuv, for the cross-thread wake-up only: uv_async_send to a loop that
// sleeps in epoll, the same path vemnet's AddAsyncNetTask takes.
#include <uv.h>

#include <atomic>
#include <thread>
#include <vector>

#include "bench/common.h"

namespace bench {
namespace {

struct Shared {
    uv_async_t wake;
    uv_async_t stop;
    std::atomic<uint64_t> postedNs{0};
    std::atomic<int> done{0};
    std::vector<double>* lat = nullptr;
};

void OnWake(uv_async_t* h) {
    Shared* s = static_cast<Shared*>(h->data);
    uint64_t t0 = s->postedNs.load(std::memory_order_acquire);
    int i = s->done.load(std::memory_order_relaxed);
    (*s->lat)[size_t(i)] = double(NowNs() - t0);
    s->done.store(i + 1, std::memory_order_release);
}

void OnStop(uv_async_t* h) {
    Shared* s = static_cast<Shared*>(h->data);
    uv_close(reinterpret_cast<uv_handle_t*>(&s->wake), nullptr);
    uv_close(reinterpret_cast<uv_handle_t*>(&s->stop), nullptr);
}

}  // namespace

bool UvTaskLatency(int samples, std::vector<double>* ns) {
    uv_loop_t loop;
    if (uv_loop_init(&loop) != 0) return false;
    Shared s;
    std::vector<double> lat(static_cast<size_t>(samples));
    s.lat = &lat;
    s.wake.data = &s;
    s.stop.data = &s;
    uv_async_init(&loop, &s.wake, &OnWake);
    uv_async_init(&loop, &s.stop, &OnStop);
    std::thread runner([&loop] { uv_run(&loop, UV_RUN_DEFAULT); });
    for (int i = 0; i < samples; ++i) {
        PauseBetweenSamples();
        s.postedNs.store(NowNs(), std::memory_order_release);
        uv_async_send(&s.wake);
        while (s.done.load(std::memory_order_acquire) <= i) std::this_thread::yield();
    }
    uv_async_send(&s.stop);
    runner.join();
    uv_loop_close(&loop);
    *ns = lat;
    return true;
}

}  // namespace bench
