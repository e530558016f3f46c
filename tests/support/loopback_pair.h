// Raw connected loopback TCP pairs and listeners, made with the platform
// layer so tests run the same on both builds.
#ifndef VEMNET_TEST_LOOPBACK_PAIR_H
#define VEMNET_TEST_LOOPBACK_PAIR_H

#include <cstdint>

#include "platform/platform.h"

namespace testing_support {

uint32_t Loopback();   // 127.0.0.1 in network byte order

// A listening socket on 127.0.0.1 and a port of the system's choice.
plat::socket_t Listen(int* port, int backlog = 16);

// A connected pair (both blocking); false on failure.
bool ConnectedPair(plat::socket_t* a, plat::socket_t* b);

// Reads exactly len bytes from a blocking socket; false on EOF or error.
bool RecvAll(plat::socket_t s, char* buf, int len);
bool SendAll(plat::socket_t s, const char* buf, int len);

}  // namespace testing_support

#endif
