// Socket calls that only tests need (reading what the library set up), kept
// out of the library's platform layer. One implementation per platform
// (tests/support/posix, tests/support/win32), chosen in CMake.
#ifndef VEMNET_TEST_RAW_SOCKETS_H
#define VEMNET_TEST_RAW_SOCKETS_H

#include <cstdint>

#include "platform/platform.h"

namespace testing_support {

// One datagram; its sender's address (network order) and port when asked.
// -1 on failure (nothing waiting on a non-blocking socket included).
int RecvFrom(plat::socket_t s, char* buf, int len, uint32_t* ip, int* port);
// True once a connect of s has completed (the socket has a peer).
bool HasPeer(plat::socket_t s);
// Makes the close of s a reset (SO_LINGER with a zero time).
void ResetOnClose(plat::socket_t s);
// The current value of an option that the library sets; -1 on failure.
int ReadOption(plat::socket_t s, plat::Option opt, int* value);
// A listening socket on [::1]:port (0: the system's choice, stored in
// *bound); invalid on failure. The library's listeners are IPv4 only.
plat::socket_t ListenIPv6Loopback(int port, int backlog, int* bound);
// accept for a listener of either family; invalid on failure.
plat::socket_t AcceptAny(plat::socket_t listener);

}  // namespace testing_support

#endif
