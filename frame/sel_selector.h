// The frame: a handler set watched by the platform's poller (select on
// Windows, epoll elsewhere), cycling on one thread.
#ifndef VEMNET_SEL_SELECTOR_H
#define VEMNET_SEL_SELECTOR_H

#include <cstdint>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

#include "frame/base_selector.h"
#include "platform/io_batch.h"
#include "platform/poller.h"

class SelSelector : public BaseSelector {
public:
    using EventList = std::vector<std::pair<Handler*, unsigned>>;

    explicit SelSelector(int timeout);
    // With a poller of the caller's choice (a backend by name, for the
    // benchmarks that compare them).
    SelSelector(int timeout, std::unique_ptr<plat::Poller> poller);
    ~SelSelector() override;

    void Run() override;
    void RemoveHandler(Handler* handler) override;
    void UpdateHandler(Handler* handler, unsigned remove, unsigned add) override;
    virtual void WaitEvents(EventList& events, int timeout);

    static const unsigned kHandlerLimit = 30000;
    // Events served per batched round (see Run).
    static const size_t kBatchRound = 128;
    size_t HandlerCount() const { return registered_.size(); }
    // The interest mask of handler's entry, or -1 when it has none.
    int InterestOf(Handler* handler) const;

    void WakeUp() override;
    // Whether this run of the frame batches its sockets' calls.
    bool Batching() const { return batch_ != nullptr; }

private:
    void Dispatch(Handler* handler, unsigned mask);
    // Dispatch, the event's call having been made as ops_[op] (none: -1).
    void DispatchMade(Handler* handler, unsigned mask, int op);
    // With a batch: every read event's receive as one call, before dispatch.
    void ReadAhead(const EventList& events, size_t first, size_t end);
    void RunTimers();
    void WriteEarly();
    int64_t WaitTimeoutMicros();

    int timeout_;
    // The handler set. Each handler keeps its interest in its own entry
    // (Handler::FrameEntry), so an interest change looks nothing up; the set
    // is touched when a handler comes and goes. The poller keeps the order
    // of events.
    std::unordered_set<Handler*> registered_;
    std::unique_ptr<plat::Poller> poller_;
    std::vector<plat::PollEvent> polled_;
    std::vector<Handler*> expired_;
    std::vector<Handler*> writeSoon_;   // gained EV_WRITE during dispatch
    std::vector<Handler*> writeBatch_;
    bool dispatching_ = false;
    // Present while Run runs on a system that can make many calls as one:
    // the receives of a wait's read events and the writes of a cycle then
    // go to the kernel together.
    std::unique_ptr<plat::IoBatch> batch_;
    std::vector<plat::IoOp> ops_;
    std::vector<int> opOf_;   // per event (reads) or per handler (writes): its op, or -1
};

#endif
