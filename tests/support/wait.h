// Polling waits for tests that watch another thread.
#ifndef VEMNET_TEST_WAIT_H
#define VEMNET_TEST_WAIT_H

#include <chrono>
#include <functional>
#include <thread>

namespace testing_support {

// Polls cond every millisecond until it holds or ms milliseconds pass.
inline bool WaitFor(const std::function<bool()>& cond, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace testing_support

#endif
