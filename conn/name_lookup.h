// Host name lookups away from the frame's thread.
#ifndef VEMNET_NAME_LOOKUP_H
#define VEMNET_NAME_LOOKUP_H

#include <cstdint>
#include <functional>
#include <string>

class BaseSelector;

namespace VemNetwork {

// Runs work on a thread of its own and then done as a task on frame's thread
// (done alone when no thread could be started).
void RunOffFrame(BaseSelector* frame, std::function<void()> work, std::function<void()> done);

// Looks name up on a thread of its own and then runs done(address) as a task
// on frame's thread (address kAddrNone when the name does not resolve). The
// frame never waits for the lookup; done must find out itself whether what
// it belongs to is still there.
void LookUpOnResolverThread(BaseSelector* frame, const std::string& name,
                            std::function<void(uint32_t)> done);

// "a.b.c.d" for an IPv4 address in network byte order.
std::string DottedAddress(uint32_t address);

}  // namespace VemNetwork

#endif
