// The Windows pollers, best first: WSAPoll, and select where ws2_32 has no
// WSAPoll.
#ifndef VEMNET_WIN32_POLLERS_H
#define VEMNET_WIN32_POLLERS_H

#include <memory>

#include "platform/poller.h"

namespace plat {

// Null when this system's ws2_32 has no WSAPoll.
std::unique_ptr<Poller> CreateWsaPollPoller();
std::unique_ptr<Poller> CreateSelectPoller();

}  // namespace plat

#endif
