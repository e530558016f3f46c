#include "tools/gateway/client_limits.h"

#include <algorithm>

namespace gateway {
namespace {

// Entries of clients without a session are dropped once there are this
// many entries (a full bucket and no session is the state of a new entry).
constexpr size_t kSweepAbove = 4096;

}  // namespace

void ClientLimits::Refill(Entry* e, Clock::time_point now) const {
    double seconds = std::chrono::duration<double>(now - e->refilled).count();
    e->tokens = std::min(perSecond_, e->tokens + seconds * perSecond_);
    e->refilled = now;
}

ClientLimits::Verdict ClientLimits::TryOpen(const std::string& client, Clock::time_point now) {
    if (clients_.size() > kSweepAbove) Sweep(now);
    auto found = clients_.find(client);
    if (found == clients_.end()) {
        Entry fresh;
        fresh.tokens = perSecond_;
        fresh.refilled = now;
        found = clients_.emplace(client, fresh).first;
    }
    Entry& e = found->second;
    Refill(&e, now);
    if (e.open >= maxOpen_) return Verdict::TooManyOpen;
    if (e.tokens < 1) return Verdict::TooFast;
    e.tokens -= 1;
    ++e.open;
    return Verdict::Allowed;
}

void ClientLimits::Closed(const std::string& client) {
    auto found = clients_.find(client);
    if (found == clients_.end() || found->second.open == 0) return;
    --found->second.open;
}

void ClientLimits::Sweep(Clock::time_point now) {
    for (auto it = clients_.begin(); it != clients_.end();) {
        Refill(&it->second, now);
        if (it->second.open == 0 && it->second.tokens >= perSecond_) {
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace gateway
