// The command line of vemnet-gateway and its help text.
#ifndef VEMNET_GATEWAY_OPTIONS_H
#define VEMNET_GATEWAY_OPTIONS_H

#include <string>

namespace gateway {

struct Options {
    bool help = false;
    bool verbose = false;
    std::string listenHost;
    int listenPort = -1;
    std::string backendHost;
    int backendPort = -1;
    std::string path = "/";
    int maxSessions = 1000;
    int idleTimeoutSeconds = 60;
    std::string node;
};

// False with the reason in *error when the command line is not usable.
bool ParseOptions(int argc, char** argv, Options* options, std::string* error);

extern const char kUsage[];

}  // namespace gateway

#endif
