#include "tools/gateway/session_id.h"

#include <sys/random.h>

#include <cctype>
#include <cerrno>
#include <stdexcept>

namespace gateway {
namespace {

const size_t kRandomBytes = 16;
const size_t kNodeNameLimit = 64;
const size_t kLoggedDigits = 8;

}  // namespace

bool IsNodeName(const std::string& name) {
    if (name.empty() || name.size() > kNodeNameLimit) return false;
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    }
    return true;
}

std::string NewSessionId(const std::string& node) {
    unsigned char bytes[kRandomBytes];
    size_t got = 0;
    while (got < kRandomBytes) {
        ssize_t r = getrandom(bytes + got, kRandomBytes - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) throw std::runtime_error("no randomness for a session identifier");
        got += size_t(r);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string id;
    for (unsigned char b : bytes) {
        id += kHex[b >> 4];
        id += kHex[b & 15];
    }
    if (!node.empty()) id += "-" + node;
    return id;
}

std::string ShortSessionId(const std::string& id) {
    if (id.size() <= kLoggedDigits) return id;
    size_t node = 2 * kRandomBytes;
    std::string tail = id.size() > node && id[node] == '-' ? id.substr(node) : std::string();
    return id.substr(0, kLoggedDigits) + ".." + tail.substr(0, kNodeNameLimit + 1);
}

}  // namespace gateway
