// The command line of vemnet-gateway and its help text.
#ifndef VEMNET_GATEWAY_OPTIONS_H
#define VEMNET_GATEWAY_OPTIONS_H

#include <string>
#include <vector>

#include "tools/gateway/limits.h"

namespace gateway {

struct Options {
    bool help = false;
    bool version = false;
    bool verbose = false;
    std::string listenHost;
    int listenPort = -1;
    std::string backendHost;
    int backendPort = -1;
    std::string path = "/";
    int maxSessions = 1000;
    int maxConnections = 0;  // 0: --max-sessions + kSpareConnections
    int idleTimeoutSeconds = 60;
    int holdSeconds = kDefaultHoldSeconds;
    int headerTimeoutSeconds = kDefaultHeaderTimeoutSeconds;
    int bodyTimeoutSeconds = kDefaultBodyTimeoutSeconds;
    int keepAliveIdleSeconds = kDefaultKeepAliveIdleSeconds;
    int drainTimeoutSeconds = kDefaultDrainTimeoutSeconds;
    int requestMemoryMiB = int(kDefaultRequestMemoryMiB);
    int clientSessions = kDefaultClientSessions;
    int clientRate = kDefaultClientRate;
    std::vector<std::string> trustedProxies;
    int threads = 0;  // 0: one per core
    std::string logPath;
    std::string node;
};

// False with the reason, naming the option, in *error when the command line
// is not usable.
bool ParseOptions(int argc, char** argv, Options* options, std::string* error);

extern const char kUsage[];
extern const char kVersion[];

}  // namespace gateway

#endif
