// What GET /metrics reports, in the Prometheus text format: sessions and
// connections open, totals, bytes of request and reply bodies, replies by
// status and refusals by reason. Counters are atomics, updated from any
// thread.
#ifndef VEMNET_GATEWAY_METRICS_H
#define VEMNET_GATEWAY_METRICS_H

#include <atomic>
#include <cstdint>
#include <string>

namespace gateway {

// Why a request or a connection was refused; one counter each.
enum class Refusal { Full, ClientSessions, ClientRate, Draining, Memory, TooLarge, Timeout, Descriptors, Error, Count };

class Metrics {
public:
    void Reply(int status, size_t bodyBytes);
    void Refused(Refusal why) { refusals_[size_t(why)]++; }
    void RequestBody(size_t bytes) { bytesIn_ += bytes; }

    std::atomic<int64_t> sessions{0};
    std::atomic<uint64_t> sessionsOpened{0};
    std::atomic<int64_t> connections{0};
    std::atomic<uint64_t> connectionsAccepted{0};

    std::string Render() const;

private:
    std::atomic<uint64_t> bytesIn_{0};
    std::atomic<uint64_t> bytesOut_{0};
    std::atomic<uint64_t> replies_[16] = {};
    std::atomic<uint64_t> refusals_[size_t(Refusal::Count)] = {};
};

Metrics& GatewayMetrics();

}  // namespace gateway

#endif
