// Readiness waiting for one frame. The frame keeps the poller in step with its
// handler set; the poller reports, per cycle, the events that select would
// report, ordered by owner address and within one owner read, write, except.
#ifndef VEMNET_POLLER_H
#define VEMNET_POLLER_H

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "vemnet/frame.h"

namespace plat {

struct PollEvent {
    void* owner;
    unsigned mask;   // exactly one of EV_READ, EV_WRITE, EV_EXCEPT
};

// Sorts ready (one entry per owner, its ready bits) by owner address and
// appends one event per bit to out, read, write, except: the order select's
// sets and the frame's walk of its handlers give. Every poller ends its
// Collect with it.
inline void AppendInOwnerOrder(std::vector<PollEvent>* ready, std::vector<PollEvent>* out) {
    std::sort(ready->begin(), ready->end(), [](const PollEvent& a, const PollEvent& b) { return a.owner < b.owner; });
    for (const PollEvent& e : *ready) {
        if (e.mask & EV_READ) out->push_back(PollEvent{e.owner, EV_READ});
        if (e.mask & EV_WRITE) out->push_back(PollEvent{e.owner, EV_WRITE});
        if (e.mask & EV_EXCEPT) out->push_back(PollEvent{e.owner, EV_EXCEPT});
    }
}

class Poller {
public:
    // The best backend that works on this system.
    static std::unique_ptr<Poller> Create();
    // The backends of this build by name, best first ("epoll"; "afd", "wsapoll",
    // "select"), and one of them by name: null when it is unknown or does
    // not work on this system.
    static std::vector<std::string> Backends();
    static std::unique_ptr<Poller> Create(const std::string& backend);
    virtual ~Poller() {}
    // The interest of owner (whose socket is s) is now mask (EV_READ, EV_WRITE,
    // EV_EXCEPT bits; 0 watches nothing). Called under the frame lock.
    virtual void Set(void* owner, socket_t s, unsigned mask) = 0;
    // owner leaves the set. Called under the frame lock.
    virtual void Remove(void* owner) = 0;
    // Prepares a wait; called under the frame lock.
    virtual void Prepare() = 0;
    // Waits at most timeoutUs microseconds (negative: no limit), never less
    // unless woken or ready; called WITHOUT the frame lock. Returns the
    // number of ready sockets, 0 on timeout, -1 on failure with the error in
    // *error.
    virtual int Wait(int64_t timeoutUs, int* error) = 0;
    // Appends the events of the last Wait for owners still in the set; called
    // under the frame lock.
    virtual void Collect(std::vector<PollEvent>* events) = 0;
    // Makes a Wait in progress (or the next one) return at once. Any thread.
    virtual void Wake() = 0;
};

}  // namespace plat

#endif
