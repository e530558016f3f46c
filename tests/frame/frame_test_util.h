// Handlers and tasks the frame tests use.
#ifndef VEMNET_FRAME_TEST_UTIL_H
#define VEMNET_FRAME_TEST_UTIL_H

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "frame/base_selector.h"
#include "frame/base_socket.h"
#include "frame/sel_selector.h"
#include "vemnet/frame.h"

// A socket handler that records its events and counts its deletions.
class ProbeSocket : public BaseSocket {
public:
    ProbeSocket(IAsyncSelector* frame, plat::socket_t s, std::atomic<int>* deletions = nullptr)
        : deletions_(deletions) {
        selector_ = static_cast<BaseSelector*>(frame);
        helper_.sock = s;
    }
    ~ProbeSocket() override {
        if (deletions_) ++*deletions_;
    }
    void OnEvent(unsigned mask) override {
        {
            std::lock_guard<std::mutex> g(lock_);
            events_.push_back(mask);
        }
        if (onEvent) onEvent(mask);
    }
    std::vector<unsigned> events() {
        std::lock_guard<std::mutex> g(lock_);
        return events_;
    }
    std::function<void(unsigned)> onEvent;

private:
    std::atomic<int>* deletions_;
    std::mutex lock_;
    std::vector<unsigned> events_;
};

class FnTask : public INetTask {
public:
    explicit FnTask(std::function<void()> fn, std::function<void(int, const char*)> onError = nullptr)
        : fn_(std::move(fn)), onError_(std::move(onError)) {}
    void Run() override { fn_(); }
    void OnError(int code, const char* text) override {
        if (onError_) onError_(code, text);
    }

private:
    std::function<void()> fn_;
    std::function<void(int, const char*)> onError_;
};

#endif
