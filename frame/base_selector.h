// The frame's shared part: task queue, timers and deferred deletion.
//
// Threads: the frame's own thread runs the cycle holding the frame lock for
// everything but the wait. Any other thread that touches handlers, sockets or
// timers of this frame (socket factories, connections called by the host)
// holds the frame lock while doing so. The task queue has a lock of its own.
#ifndef VEMNET_BASE_SELECTOR_H
#define VEMNET_BASE_SELECTOR_H

#include <atomic>
#include <list>
#include <thread>
#include <vector>

#include "frame/handler.h"
#include "frame/time_count.h"
#include "platform/platform.h"
#include "vemnet/frame.h"

class BaseSelector : public IAsyncSelector {
public:
    BaseSelector();
    ~BaseSelector() override;

    void Reserved(int) override {}
    void Stop() override;
    bool IsRunning() override { return running_.load(std::memory_order_acquire); }
    void AddTask(INetTask* task, int front) override;

    virtual void RemoveHandler(Handler* handler) = 0;
    virtual void UpdateHandler(Handler* handler, unsigned remove, unsigned add) = 0;
    virtual void RunTasks();

    // Appends handler to the pending-delete list; it is deleted at the end
    // of the cycle and receives no further event. From another thread the
    // wait is woken, so that the deletion does not wait for an event.
    void ReleaseHandler(Handler* handler);
    // Called by every handler's destructor: the object is gone, so the
    // cleanup must not delete it, and the address may be reused at once by
    // another handler, which must not inherit the old one's standing.
    void HandlerGone(Handler* handler);
    TimeCount& timers() { return timers_; }
    // Held by the frame's thread for a cycle's work, by others while they
    // touch the frame's handlers. Recursive.
    plat::Lock& FrameLock() { return frameLock_; }
    bool InFrameThread() const { return std::this_thread::get_id() == threadId_.load(); }
    bool HasQueuedTasks();

    // Makes a wait under way (or the next one) return at once. Any thread.
    virtual void WakeUp() {}

    // The result of the call the frame made for handler's current event
    // (see Handler::OfferRead), taken once; false when it made none.
    bool TakeMadeCall(Handler* handler, int* result, int* error) {
        if (madeFor_ != handler || !handler) return false;
        madeFor_ = nullptr;
        *result = madeResult_;
        *error = madeError_;
        return true;
    }

protected:
    bool Dropped(Handler* handler) const;   // in the pending-delete or removed list
    void Cleanup();

    std::vector<Handler*> pending_;
    std::vector<Handler*> removed_;
    std::atomic<bool> running_;
    TimeCount timers_;
    plat::Lock taskLock_;
    std::list<INetTask*> tasks_;
    plat::Lock frameLock_;
    std::atomic<std::thread::id> threadId_;
    // The call made for the event being dispatched, if any.
    Handler* madeFor_ = nullptr;
    int madeResult_ = 0;
    int madeError_ = 0;
};

// Deletes a task, which may be a host's built by another compiler, through
// slot 0 of the task interface (the deleting destructor).
inline void DestroyTask(INetTask* task) { task->VemnetDestroy(1); }

// Holds a frame's lock for a scope; does nothing for a null frame.
class FrameGuard {
public:
    explicit FrameGuard(BaseSelector* frame) : frame_(frame) {
        if (frame_) frame_->FrameLock().lock();
    }
    ~FrameGuard() {
        if (frame_) frame_->FrameLock().unlock();
    }
    FrameGuard(const FrameGuard&) = delete;
    FrameGuard& operator=(const FrameGuard&) = delete;

private:
    BaseSelector* frame_;
};

// The other way round: lets go of the calling thread's hold on a frame's
// (recursive) lock for a scope, and takes it again at the end. A hold taken
// further up the stack (the host's own, around a call) stays. Does nothing
// for a null frame.
class FrameUnlock {
public:
    explicit FrameUnlock(BaseSelector* frame) : frame_(frame) {
        if (frame_) frame_->FrameLock().unlock();
    }
    ~FrameUnlock() {
        if (frame_) frame_->FrameLock().lock();
    }
    FrameUnlock(const FrameUnlock&) = delete;
    FrameUnlock& operator=(const FrameUnlock&) = delete;

private:
    BaseSelector* frame_;
};

#endif
