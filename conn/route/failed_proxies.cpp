#include "conn/route/failed_proxies.h"

#include "conn/wide_text.h"

namespace VemNetwork {

namespace {

// SOCKS4 has two type values that name the same proxy.
int SameKind(int type) { return type == PROXY_SOCKS4_ALT ? PROXY_SOCKS4 : type; }

}  // namespace

void FailedProxies::Mark(const ProxyInfo& proxy, uint64_t now) {
    std::lock_guard<std::mutex> g(lock_);
    failedAt_[Key(SameKind(proxy.type), ToWString(proxy.host), proxy.port)] = now;
}

void FailedProxies::Reorder(std::list<ProxyInfo>* candidates, uint64_t now) {
    std::lock_guard<std::mutex> g(lock_);
    for (auto it = failedAt_.begin(); it != failedAt_.end();) {
        if (now - it->second >= kPenaltyMicros) it = failedAt_.erase(it);
        else ++it;
    }
    if (failedAt_.empty()) return;
    std::list<ProxyInfo> failed;
    for (auto it = candidates->begin(); it != candidates->end();) {
        auto next = std::next(it);
        if (failedAt_.count(Key(SameKind(it->type), ToWString(it->host), it->port)))
            failed.splice(failed.end(), *candidates, it);
        it = next;
    }
    candidates->splice(candidates->end(), failed);
}

void FailedProxies::Clear() {
    std::lock_guard<std::mutex> g(lock_);
    failedAt_.clear();
}

FailedProxies& FailedProxies::OfProcess() {
    static FailedProxies failed;
    return failed;
}

}  // namespace VemNetwork
