// Per client address: how many sessions it holds and how fast it opens new
// ones (a token bucket: a burst of `rate`, then `rate` a second). Not
// thread-safe: the session table calls it under its lock.
#ifndef VEMNET_GATEWAY_CLIENT_LIMITS_H
#define VEMNET_GATEWAY_CLIENT_LIMITS_H

#include <chrono>
#include <map>
#include <string>

namespace gateway {

class ClientLimits {
public:
    using Clock = std::chrono::steady_clock;
    enum class Verdict { Allowed, TooManyOpen, TooFast };

    ClientLimits(size_t maxOpen, double perSecond) : maxOpen_(maxOpen), perSecond_(perSecond) {}
    // Allowed counts the new session for the client.
    Verdict TryOpen(const std::string& client, Clock::time_point now);
    void Closed(const std::string& client);

private:
    struct Entry {
        size_t open = 0;
        double tokens = 0;
        Clock::time_point refilled;
    };
    void Refill(Entry* e, Clock::time_point now) const;
    void Sweep(Clock::time_point now);

    size_t maxOpen_;
    double perSecond_;
    std::map<std::string, Entry> clients_;
};

}  // namespace gateway

#endif
