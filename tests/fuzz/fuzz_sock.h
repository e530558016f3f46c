// The socket the fuzzed helpers write to: keeps only the count of writes.
#ifndef VEMNET_FUZZ_SOCK_H
#define VEMNET_FUZZ_SOCK_H

#include <cstdlib>

#include "vemnet/sock.h"

class FuzzSock : public ISock {
public:
    bool Send(const char* data, unsigned len) override {
        if (len > 0 && !data) std::abort();
        ++sends;
        return true;
    }
    void Close() override {}
    void SetTimer(int) override {}
    int sends = 0;
};

// Every helper answer must be a known status and a count inside the input.
inline void CheckAnswer(int consumed, int status, int len) {
    if (status < 0 || status > 6) std::abort();
    if (consumed < 0 || consumed > len) std::abort();
}

#endif
