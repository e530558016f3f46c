#include "frame/base_selector.h"

#include <algorithm>
#include <exception>

#include "platform/platform.h"

BaseSelector::BaseSelector() : running_(true), threadId_(std::thread::id()) {}

BaseSelector::~BaseSelector() {
    // Queued tasks and handlers are neither notified nor deleted.
}

void BaseSelector::Stop() {
    running_.store(false, std::memory_order_release);
    WakeUp();
}

void BaseSelector::AddTask(INetTask* task, int front) {
    if (!task) return;
    bool wasEmpty;
    {
        taskLock_.lock();
        wasEmpty = tasks_.empty();
        if (front == 1) {
            tasks_.push_front(task);
        } else {
            tasks_.push_back(task);
        }
        taskLock_.unlock();
    }
    // The frame's own thread reaches the queue at the next cycle anyway.
    if (wasEmpty && !InFrameThread()) WakeUp();
}

size_t BaseSelector::QueuedTasks() {
    taskLock_.lock();
    size_t n = tasks_.size();
    taskLock_.unlock();
    return n;
}

void BaseSelector::RunTasks() {
    std::list<INetTask*> batch;
    taskLock_.lock();
    batch.swap(tasks_);
    taskLock_.unlock();
    for (INetTask* task : batch) {
        try {
            task->Run();
        } catch (const std::exception& e) {
            int code = plat::LastSocketError();
            try {
                task->OnError(code, e.what());
            } catch (...) {
            }
            continue;
        }
        delete task;
    }
}

bool BaseSelector::Dropped(Handler* handler) const {
    return std::find(pending_.begin(), pending_.end(), handler) != pending_.end() ||
           std::find(removed_.begin(), removed_.end(), handler) != removed_.end();
}

void BaseSelector::Cleanup() {
    // A destructor may release further handlers; they are handled here too,
    // while the removed list still says who was already deleted.
    std::vector<Handler*> batch;
    while (!pending_.empty()) {
        batch.clear();
        batch.swap(pending_);
        for (Handler* h : batch) {
            if (std::find(removed_.begin(), removed_.end(), h) != removed_.end()) continue;
            removed_.push_back(h);
            delete h;
        }
    }
    removed_.clear();
}
