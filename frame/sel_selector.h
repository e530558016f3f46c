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
    size_t HandlerCount() const { return registered_.size(); }
    // The interest mask of handler's entry, or -1 when it has none.
    int InterestOf(Handler* handler) const;

    void WakeUp() override;

private:
    void Dispatch(Handler* handler, unsigned mask);
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
};

#endif
