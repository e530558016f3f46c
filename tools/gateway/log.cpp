#include "tools/gateway/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace gateway {

bool Log::Open(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    path_ = path;
    if (path.empty()) return true;
    FILE* f = std::fopen(path.c_str(), "a");
    if (!f) {
        *error = "--log " + path + ": " + std::strerror(errno);
        return false;
    }
    file_ = f;
    return true;
}

void Log::Reopen() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (path_.empty()) return;
    FILE* f = std::fopen(path_.c_str(), "a");
    if (!f) {
        std::fprintf(file_, "vemnet-gateway: cannot reopen the log %s: %s\n", path_.c_str(), std::strerror(errno));
        std::fflush(file_);
        return;
    }
    std::fclose(file_);
    file_ = f;
}

void Log::Line(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(file_, "vemnet-gateway: %s\n", text);
    std::fflush(file_);
}

Log& GatewayLog() {
    static Log log;
    return log;
}

}  // namespace gateway
