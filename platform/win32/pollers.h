// The Windows pollers, best first: the AFD driver's polling through a
// completion port, WSAPoll where the driver cannot be opened, and select
// where ws2_32 has no WSAPoll.
#ifndef VEMNET_WIN32_POLLERS_H
#define VEMNET_WIN32_POLLERS_H

#include <memory>

#include "platform/poller.h"

namespace plat {

// Null when the AFD driver or ntdll's functions for it are missing.
std::unique_ptr<Poller> CreateAfdPoller();
// Null when this system's ws2_32 has no WSAPoll.
std::unique_ptr<Poller> CreateWsaPollPoller();
std::unique_ptr<Poller> CreateSelectPoller();

}  // namespace plat

#endif
