#include "tools/gateway/metrics.h"

#include <cinttypes>
#include <cstdio>

namespace gateway {
namespace {

// The statuses counted one by one; any other counts as "other" (last).
const int kCountedStatus[] = {200, 400, 404, 408, 409, 410, 413, 429, 500, 502, 503, 504};
const size_t kCounted = sizeof kCountedStatus / sizeof kCountedStatus[0];

const char* const kRefusalName[] = {"full",     "client_sessions", "client_rate", "draining",
                                    "memory",   "too_large",       "timeout",     "descriptors",
                                    "error"};
static_assert(sizeof kRefusalName / sizeof kRefusalName[0] == size_t(Refusal::Count), "a name per refusal");

void Metric(std::string* out, const char* name, const char* type, const char* help) {
    *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Value(std::string* out, const char* name, const std::string& labels, uint64_t v) {
    char line[160];
    std::snprintf(line, sizeof line, "%s%s %" PRIu64 "\n", name, labels.c_str(), v);
    *out += line;
}

}  // namespace

void Metrics::Reply(int status, size_t bodyBytes) {
    bytesOut_ += bodyBytes;
    size_t i = 0;
    while (i < kCounted && kCountedStatus[i] != status) ++i;
    replies_[i]++;
}

std::string Metrics::Render() const {
    std::string out;
    Metric(&out, "vemnet_gateway_sessions", "gauge", "Sessions open.");
    Value(&out, "vemnet_gateway_sessions", "", uint64_t(sessions.load()));
    Metric(&out, "vemnet_gateway_sessions_opened_total", "counter", "Sessions opened.");
    Value(&out, "vemnet_gateway_sessions_opened_total", "", sessionsOpened.load());
    Metric(&out, "vemnet_gateway_connections", "gauge", "HTTP connections open.");
    Value(&out, "vemnet_gateway_connections", "", uint64_t(connections.load()));
    Metric(&out, "vemnet_gateway_connections_accepted_total", "counter", "HTTP connections accepted.");
    Value(&out, "vemnet_gateway_connections_accepted_total", "", connectionsAccepted.load());
    Metric(&out, "vemnet_gateway_request_body_bytes_total", "counter", "Bytes of request bodies received.");
    Value(&out, "vemnet_gateway_request_body_bytes_total", "", bytesIn_.load());
    Metric(&out, "vemnet_gateway_reply_body_bytes_total", "counter", "Bytes of reply bodies sent.");
    Value(&out, "vemnet_gateway_reply_body_bytes_total", "", bytesOut_.load());
    Metric(&out, "vemnet_gateway_replies_total", "counter", "Replies by HTTP status.");
    for (size_t i = 0; i <= kCounted; ++i) {
        std::string status = i < kCounted ? std::to_string(kCountedStatus[i]) : "other";
        Value(&out, "vemnet_gateway_replies_total", "{status=\"" + status + "\"}", replies_[i].load());
    }
    Metric(&out, "vemnet_gateway_refusals_total", "counter", "Requests and connections refused, by reason.");
    for (size_t i = 0; i < size_t(Refusal::Count); ++i) {
        Value(&out, "vemnet_gateway_refusals_total", std::string("{reason=\"") + kRefusalName[i] + "\"}",
              refusals_[i].load());
    }
    return out;
}

Metrics& GatewayMetrics() {
    static Metrics metrics;
    return metrics;
}

}  // namespace gateway
