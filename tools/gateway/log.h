// The gateway's log: standard error or a file (--log), one line at a time
// from any thread; SIGHUP reopens the file so that logrotate can move it.
#ifndef VEMNET_GATEWAY_LOG_H
#define VEMNET_GATEWAY_LOG_H

#include <cstdio>
#include <mutex>
#include <string>

namespace gateway {

class Log {
public:
    // An empty path is standard error. False with the reason in *error when
    // the file cannot be opened.
    bool Open(const std::string& path, std::string* error);
    // Opens the file again (after a rotation); standard error stays.
    void Reopen();
    // "vemnet-gateway: " + the formatted text + a line break.
    void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    std::mutex mutex_;
    std::string path_;
    FILE* file_ = stderr;
};

// The process's one log.
Log& GatewayLog();

}  // namespace gateway

#endif
