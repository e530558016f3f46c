// Ports of the real peers that tests/peers/with-peers.sh started.
#ifndef VEMNET_TEST_PEER_ENV_H
#define VEMNET_TEST_PEER_ENV_H

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace testing_support {

// The integer value of environment variable name, or 0 when it is unset.
inline int PeerPort(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::atoi(v) : 0;
}

inline std::string PeerValue(const char* name, const char* fallback = "") {
    const char* v = std::getenv(name);
    return v ? v : fallback;
}

}  // namespace testing_support

// Fails the test loudly when the peer is missing: a peer that could not start
// must never let a test pass.
#define REQUIRE_PEER_PORT(var, name)                                                    \
    int var = ::testing_support::PeerPort(name);                                        \
    if (var <= 0) {                                                                     \
        FAIL() << "peer " << name << " is not running (run under tests/peers/with-peers.sh)"; \
    }

#endif
