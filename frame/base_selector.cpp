#include "frame/base_selector.h"

#include <algorithm>
#include <exception>
#include <string>

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

bool BaseSelector::HasQueuedTasks() {
    taskLock_.lock();
    bool any = !tasks_.empty();
    taskLock_.unlock();
    return any;
}

void BaseSelector::ReleaseHandler(Handler* handler) {
    pending_.push_back(handler);
    if (!InFrameThread()) WakeUp();
}

void BaseSelector::HandlerGone(Handler* handler) {
    pending_.erase(std::remove(pending_.begin(), pending_.end(), handler), pending_.end());
    // Events already collected for this address belong to the old object.
    // Off the frame's thread no cycle is under way: the poller no longer
    // reports an owner that left it, and a timer entry went with the object.
    if (InFrameThread()) removed_.push_back(handler);
}

void BaseSelector::RunTasks() {
    std::list<INetTask*> batch;
    taskLock_.lock();
    batch.swap(tasks_);
    taskLock_.unlock();
    for (INetTask* task : batch) {
        const char* failure = nullptr;
        std::string text;
        int code = 0;
        try {
            task->Run();
        } catch (const std::exception& e) {
            code = plat::LastSocketError();
            text = e.what();
            failure = text.c_str();
        } catch (...) {
            // Anything else a host's task throws (what this compiler can
            // catch of it) must not end the frame's thread either.
            code = plat::LastSocketError();
            failure = "task failed";
        }
        if (failure) {
            try {
                task->OnError(code, failure);
            } catch (...) {
            }
            continue;
        }
        DestroyTask(task);
    }
}

bool BaseSelector::Dropped(Handler* handler) const {
    return std::find(pending_.begin(), pending_.end(), handler) != pending_.end() ||
           std::find(removed_.begin(), removed_.end(), handler) != removed_.end();
}

void BaseSelector::Cleanup() {
    // Every handler's destructor takes its address off the pending list
    // (HandlerGone), so what stands in it is alive: one that deleted itself
    // during the cycle is no longer there, and a new handler that was given
    // its address is deleted when it was released. A destructor may release
    // or delete further handlers; the loop sees both.
    while (!pending_.empty()) {
        Handler* h = pending_.front();
        pending_.erase(std::remove(pending_.begin(), pending_.end(), h), pending_.end());
        delete h;
    }
    removed_.clear();
}
