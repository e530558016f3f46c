// One-shot timers of a frame, at most one per handler. Due times are kept in
// microseconds of the monotonic clock, so that a timer never fires before
// the milliseconds it was armed for have passed.
#ifndef VEMNET_TIME_COUNT_H
#define VEMNET_TIME_COUNT_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

class Handler;

class TimeCount {
public:
    virtual ~TimeCount() {}
    // ms > 0 arms or re-arms handler's timer; 0 or less cancels it.
    void Set(Handler* handler, int ms);
    // Removes every timer due at `now` (plat::MicroTicks) and appends its
    // handler, in address order.
    void Expired(uint64_t now, std::vector<Handler*>* out);
    // The earliest expiry in microseconds, or UINT64_MAX when none is armed.
    uint64_t NextExpiry() const;
    bool IsArmed(Handler* handler) const { return byHandler_.count(handler) != 0; }
    size_t size() const { return byHandler_.size(); }

private:
    // Ordered by handler address for the firing order, and by expiry so that
    // finding the due timers does not walk every armed one.
    std::map<Handler*, uint64_t> byHandler_;
    std::set<std::pair<uint64_t, Handler*>> byExpiry_;
};

#endif
