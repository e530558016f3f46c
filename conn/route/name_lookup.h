// Host name lookups away from the frame's thread.
#ifndef VEMNET_NAME_LOOKUP_H
#define VEMNET_NAME_LOOKUP_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

class BaseSelector;

namespace VemNetwork {

// Runs work on a thread of its own and then done as a task on frame's thread
// (done alone when no thread could be started).
void RunOffFrame(BaseSelector* frame, std::function<void()> work, std::function<void()> done);

// Looks name up on a thread of its own and then runs done(addresses) as a
// task on frame's thread (both families; none when the name does not
// resolve). The frame never waits for the lookup; done must find out itself
// whether what it belongs to is still there.
void LookUpOnResolverThread(BaseSelector* frame, const std::string& name,
                            std::function<void(const std::vector<plat::NetAddress>&)> done);

// "127.0.0.1:80", "[::1]:80": an address and port as URLs write them.
std::string AddressAndPort(const plat::NetAddress& address, int port);

}  // namespace VemNetwork

#endif
