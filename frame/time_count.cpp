#include "frame/time_count.h"

#include <algorithm>
#include <cstdint>

#include "platform/platform.h"

void TimeCount::Set(Handler* handler, int ms) {
    auto it = byHandler_.find(handler);
    if (it != byHandler_.end()) {
        byExpiry_.erase(std::make_pair(it->second, handler));
        if (ms <= 0) {
            byHandler_.erase(it);
            return;
        }
    } else if (ms <= 0) {
        return;
    }
    // A 64-bit clock never wraps, so a timer armed just before a 32-bit wrap
    // fires on time instead of 49 days late; microseconds, so that a
    // millisecond tick's rounding cannot make it early.
    uint64_t expiry = plat::MicroTicks() + uint64_t(ms) * 1000u;
    byHandler_[handler] = expiry;
    byExpiry_.insert(std::make_pair(expiry, handler));
}

void TimeCount::Expired(uint64_t now, std::vector<Handler*>* out) {
    size_t first = out->size();
    while (!byExpiry_.empty() && byExpiry_.begin()->first <= now) {
        Handler* h = byExpiry_.begin()->second;
        byExpiry_.erase(byExpiry_.begin());
        byHandler_.erase(h);
        out->push_back(h);
    }
    std::sort(out->begin() + long(first), out->end());
}

uint64_t TimeCount::NextExpiry() const { return byExpiry_.empty() ? UINT64_MAX : byExpiry_.begin()->first; }
