#include <time.h>

#include <cerrno>

#include "platform/platform.h"

namespace plat {
namespace {

uint64_t Monotonic(uint64_t divisor) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec)) / divisor;
}

}  // namespace

uint32_t TickCount() { return uint32_t(Monotonic(1000000)); }

uint64_t TickCount64() { return Monotonic(1000000); }

uint64_t MicroTicks() { return Monotonic(1000); }

void SleepMs(int ms) {
    if (ms < 0) ms = 0;
    timespec ts{ms / 1000, long(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace plat
