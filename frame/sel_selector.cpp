#include "frame/sel_selector.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "frame/base_socket.h"
#include "logging/logger.h"

namespace {

// Failed waits of the whole process, counted up to 5000; every hundredth
// is logged so a persistent failure cannot flood the log.
std::atomic<int> g_selectFailures(0);

void NoteSelectFailure(int error) {
    int before = g_selectFailures.load();
    while (before < 5000 && !g_selectFailures.compare_exchange_weak(before, before + 1)) {
    }
    if (before >= 5000) return;
    if (before % 100 == 0) LogLine(NamedLogger::SelSelector, LOG_LEVEL_ERROR, L"select error: %d, %d", error, before + 1);
}

}  // namespace

SelSelector::SelSelector(int timeout) : SelSelector(timeout, plat::Poller::Create()) {}

SelSelector::SelSelector(int timeout, std::unique_ptr<plat::Poller> poller)
    : timeout_(timeout), poller_(std::move(poller)) {}

SelSelector::~SelSelector() {}

void SelSelector::Run() {
    threadId_.store(std::this_thread::get_id());
    EventList events;
    FrameGuard guard(this);
    // Made on the thread that submits to it.
    batch_ = plat::IoBatch::Create();
    while (IsRunning()) {
        RunTasks();
        WaitEvents(events, timeout_);
        // Only what dispatch asks for is written early: a Send made by a
        // task was already in the interest the wait used.
        dispatching_ = true;
        RunTimers();
        WriteEarly();
        if (batch_) {
            // A round's receives first, then its events; the replies they
            // made leave together at the end of the round. Rounds are small
            // enough that the input and output regions they hold at once
            // stay in the thread's cache of regions.
            for (size_t first = 0; first < events.size(); first += kBatchRound) {
                size_t end = std::min(events.size(), first + kBatchRound);
                ReadAhead(events, first, end);
                for (size_t i = first; i < end; ++i) DispatchMade(events[i].first, events[i].second, opOf_[i - first]);
                WriteEarly();
            }
        } else {
            for (const auto& ev : events) {
                Dispatch(ev.first, ev.second);
                WriteEarly();
            }
        }
        dispatching_ = false;
        events.clear();
        Cleanup();
    }
    batch_.reset();
    EventList().swap(events);
    threadId_.store(std::thread::id());
}

int64_t SelSelector::WaitTimeoutMicros() {
    // Tasks queued while the queue was not empty, or by this thread (a task
    // or a callback), woke nobody: they run now, not after an unrelated
    // event. Tasks, releases and registrations from other threads wake the
    // wait (WakeUp), so a frame without a time limit may otherwise sleep
    // until something happens.
    if (HasQueuedTasks()) return 0;
    // The nearest timer bounds the wait as well, so timers fire on time
    // rather than up to one timeout late.
    int64_t t = timeout_ < 0 ? -1 : int64_t(timeout_) * 1000;
    uint64_t next = timers_.NextExpiry();
    if (next != UINT64_MAX) {
        uint64_t now = plat::MicroTicks();
        uint64_t until = next <= now ? 0 : next - now;
        if (until > uint64_t(INT64_MAX)) until = uint64_t(INT64_MAX);
        if (t < 0 || int64_t(until) < t) t = int64_t(until);
    }
    return t;
}

void SelSelector::WaitEvents(EventList& events, int timeout) {
    (void)timeout;
    poller_->Prepare();
    int error = 0;
    const int64_t waitUs = WaitTimeoutMicros();   // reads the timers: under the lock
    frameLock_.unlock();
    int n = poller_->Wait(waitUs, &error);
    frameLock_.lock();
    if (n < 0) {
        NoteSelectFailure(error);
        // A wait that fails at once would otherwise spin the thread.
        plat::SleepMs(waitUs < 0 || waitUs > 100000 ? 100 : int(waitUs / 1000));
        return;
    }
    if (n == 0) {
        polled_.clear();
        poller_->Collect(&polled_);   // drains a wake-up
        return;
    }
    polled_.clear();
    poller_->Collect(&polled_);
    for (const plat::PollEvent& e : polled_) events.push_back(std::make_pair(static_cast<Handler*>(e.owner), e.mask));
}

void SelSelector::WakeUp() { poller_->Wake(); }

void SelSelector::WriteEarly() {
    if (writeSoon_.empty()) return;
    // Dispatch keeps its rules (released or removed handlers get nothing).
    // A handler that has dropped EV_WRITE meanwhile was written already; one
    // whose send would block keeps EV_WRITE and waits for the poller. What
    // these writes queue anew goes out in the next cycle.
    writeBatch_.clear();
    writeBatch_.swap(writeSoon_);
    bool batched = batch_ && writeBatch_.size() > 1;
    if (batched) {
        // The sends of every handler that would be written, as one call. A
        // handler listed twice offers its bytes once.
        ops_.clear();
        opOf_.assign(writeBatch_.size(), -1);
        for (size_t i = 0; i < writeBatch_.size(); ++i) {
            Handler* h = writeBatch_[i];
            if (Dropped(h)) continue;
            Handler::FrameEntry& e = h->frameEntry();
            if (!e.registered || !(e.interest & EV_WRITE) || e.offered) continue;
            plat::IoOp op;
            if (!h->OfferWrite(&op)) continue;
            e.offered = true;
            opOf_[i] = int(ops_.size());
            ops_.push_back(op);
        }
        for (size_t i = 0; i < writeBatch_.size(); ++i) {
            if (opOf_[i] >= 0) writeBatch_[i]->frameEntry().offered = false;
        }
        // One send is made by its own event: a batch would only add to it.
        batched = ops_.size() > 1;
        if (batched) batch_->Run(ops_);
    }
    for (size_t i = 0; i < writeBatch_.size(); ++i) {
        Handler* h = writeBatch_[i];
        // A dropped handler may be gone: nothing of it is read.
        if (Dropped(h)) continue;
        const Handler::FrameEntry& e = h->frameEntry();
        if (e.registered && (e.interest & EV_WRITE)) DispatchMade(h, EV_WRITE, batched ? opOf_[i] : -1);
    }
    writeBatch_.clear();
    writeSoon_.clear();
}

void SelSelector::ReadAhead(const EventList& events, size_t first, size_t end) {
    ops_.clear();
    opOf_.assign(end - first, -1);
    for (size_t i = first; i < end; ++i) {
        Handler* h = events[i].first;
        if (events[i].second != EV_READ || Dropped(h)) continue;
        plat::IoOp op;
        if (!h->OfferRead(&op)) continue;
        opOf_[i - first] = int(ops_.size());
        ops_.push_back(op);
    }
    // One receive is made by its own event: a batch would only add to it.
    if (ops_.size() > 1) {
        batch_->Run(ops_);
    } else {
        opOf_.assign(end - first, -1);
    }
}

void SelSelector::DispatchMade(Handler* handler, unsigned mask, int op) {
    if (op < 0) {
        Dispatch(handler, mask);
        return;
    }
    madeFor_ = handler;
    madeResult_ = ops_[size_t(op)].result;
    madeError_ = ops_[size_t(op)].error;
    Dispatch(handler, mask);
    madeFor_ = nullptr;
}

void SelSelector::RunTimers() {
    expired_.clear();
    timers_.Expired(plat::MicroTicks(), &expired_);
    for (Handler* h : expired_) Dispatch(h, EV_TIMER);
}

void SelSelector::Dispatch(Handler* handler, unsigned mask) {
    if (Dropped(handler)) return;
    try {
        handler->OnEvent(mask);
    } catch (...) {
        // std::exception from the library, or whatever a host's callback
        // threw: the handler fails, the frame goes on.
        handler->OnError();
        // Whatever OnError did, the handler gets nothing more this cycle.
        removed_.push_back(handler);
    }
}

void SelSelector::UpdateHandler(Handler* handler, unsigned remove, unsigned add) {
    Handler::FrameEntry& e = handler->frameEntry();
    if (!e.registered) {
        if (registered_.size() >= kHandlerLimit) throw std::runtime_error("too many connections");
        registered_.insert(handler);
        e.registered = true;
        e.interest = 0;
    }
    const unsigned before = e.interest;
    e.interest = (before & ~remove) | add;
    // A connected socket that starts to want writing from one of this
    // cycle's calls (a Send from a callback) is written at the end of the
    // cycle: the reply of a request-response exchange goes out without
    // waiting for another wait, and without the interest ever reaching the
    // kernel when the send takes everything. Entries that were 0 (sockets
    // just registered or still connecting) wait for the poller as before.
    if (dispatching_ && before != 0 && !(before & EV_WRITE) && (e.interest & EV_WRITE) && InFrameThread())
        writeSoon_.push_back(handler);
    poller_->Set(handler, static_cast<BaseSocket*>(handler)->GetHandle(), e.interest);
    // A wait under way was prepared without this interest.
    if (!InFrameThread()) WakeUp();
}

void SelSelector::RemoveHandler(Handler* handler) {
    Handler::FrameEntry& e = handler->frameEntry();
    if (e.registered) {
        e.registered = false;
        e.interest = 0;
        registered_.erase(handler);
        poller_->Remove(handler);
    }
    removed_.push_back(handler);
}

int SelSelector::InterestOf(Handler* handler) const {
    // Asked of the set first: handler may be a deleted one.
    if (!registered_.count(handler)) return -1;
    return int(handler->frameEntry().interest);
}
