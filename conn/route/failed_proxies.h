// Proxies of the system setting that recently could not be reached, for the
// whole process: they go to the end of every later candidate list for a
// while, so that one dead proxy does not cost each new connection a connect
// timeout. Kept in memory only.
#ifndef VEMNET_FAILED_PROXIES_H
#define VEMNET_FAILED_PROXIES_H

#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <tuple>

#include "vemnet/netconn.h"

namespace VemNetwork {

class FailedProxies {
public:
    // How long a proxy that failed stays at the end of the list.
    static const uint64_t kPenaltyMicros = 5ull * 60 * 1000 * 1000;

    // The TCP connection to proxy failed (refused, unreachable, timed out)
    // at now (microseconds, monotonic).
    void Mark(const ProxyInfo& proxy, uint64_t now);
    // Moves the entries that failed less than the penalty before now behind
    // the others; each group keeps its order.
    void Reorder(std::list<ProxyInfo>* candidates, uint64_t now);

    // Forgets every failure (a fresh start, as in a new process).
    void Clear();

    static FailedProxies& OfProcess();

private:
    using Key = std::tuple<int, std::wstring, int>;
    std::mutex lock_;
    std::map<Key, uint64_t> failedAt_;
};

}  // namespace VemNetwork

#endif
