// An ISock that keeps every Send as one message, so tests can read what a
// proxy helper put on the wire and in how many writes.
#ifndef VEMNET_TEST_RECORDING_SOCK_H
#define VEMNET_TEST_RECORDING_SOCK_H

#include <string>
#include <vector>

#include "vemnet/sock.h"

class RecordingSock : public ISock {
public:
    bool Send(const char* data, unsigned len) override {
        if (refuse) return false;
        sent.emplace_back(data, len);
        return true;
    }
    void Close() override { ++closes; }
    void SetTimer(int milliseconds) override { timers.push_back(milliseconds); }

    std::string Last() const { return sent.empty() ? std::string() : sent.back(); }

    std::vector<std::string> sent;
    std::vector<int> timers;
    int closes = 0;
    bool refuse = false;   // answer every Send as a full output queue would
};

#endif
