#include "tools/gateway/options.h"

#include <cstdlib>
#include <cstring>

#include "tools/gateway/session_id.h"

namespace gateway {

const char kUsage[] =
    "usage: vemnet-gateway --listen ADDR:PORT --backend HOST:PORT [--path /p]\n"
    "                      [--max-sessions N] [--idle-timeout S] [--node NAME] [-v]\n"
    "\n"
    "Serves the HTTP session protocol of CreateHttpConn (and vemnet-cat --http):\n"
    "each session gets its own TCP connection to the backend, and the bytes of\n"
    "the session travel both ways through it.\n"
    "\n"
    "  --listen ADDR:PORT   where to accept HTTP (port 0: any free port)\n"
    "  --backend HOST:PORT  the TCP service each session is relayed to\n"
    "  --path /p            the request path served (default /); others get 404\n"
    "  --max-sessions N     sessions at once (default 1000); more get 503\n"
    "  --idle-timeout S     a session whose client stops polling for S seconds\n"
    "                       ends and its backend connection closes (default 60)\n"
    "  --node NAME          ends every session identifier (letters, digits, - and _),\n"
    "                       so that a load balancer can route on it\n"
    "  -v                   one line on standard error per session opened or ended\n"
    "\n"
    "Example: relay HTTP sessions on port 8080 to an SSH server:\n"
    "  vemnet-gateway --listen 0.0.0.0:8080 --backend 127.0.0.1:22 --path /tunnel --node gw1\n"
    "  vemnet-cat --http http://gateway.example:8080/tunnel gateway.example 8080\n";

namespace {

bool ParseInt(const char* text, int low, int high, int* out) {
    if (!*text) return false;
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*end || v < low || v > high) return false;
    *out = int(v);
    return true;
}

// HOST:PORT, split at the last ':'; an IPv6 address in brackets.
bool ParseHostPort(const char* text, std::string* host, int* port) {
    const char* colon = std::strrchr(text, ':');
    if (!colon || colon == text) return false;
    host->assign(text, size_t(colon - text));
    if (host->size() > 2 && host->front() == '[' && host->back() == ']') *host = host->substr(1, host->size() - 2);
    return ParseInt(colon + 1, 0, 65535, port);
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            o->help = true;
            return true;
        }
        if (arg == "-v") {
            o->verbose = true;
            continue;
        }
        if (i + 1 >= argc) {
            *error = "unknown option or missing value: " + arg;
            return false;
        }
        const char* value = argv[++i];
        if (arg == "--listen") {
            if (!ParseHostPort(value, &o->listenHost, &o->listenPort)) {
                *error = "--listen wants ADDR:PORT";
                return false;
            }
        } else if (arg == "--backend") {
            if (!ParseHostPort(value, &o->backendHost, &o->backendPort) || o->backendPort == 0) {
                *error = "--backend wants HOST:PORT";
                return false;
            }
        } else if (arg == "--path") {
            o->path = value;
            if (o->path.empty() || o->path[0] != '/') {
                *error = "--path must begin with /";
                return false;
            }
        } else if (arg == "--max-sessions") {
            if (!ParseInt(value, 1, 1000000, &o->maxSessions)) {
                *error = "--max-sessions wants a number from 1 to 1000000";
                return false;
            }
        } else if (arg == "--idle-timeout") {
            if (!ParseInt(value, 1, 86400, &o->idleTimeoutSeconds)) {
                *error = "--idle-timeout wants seconds from 1 to 86400";
                return false;
            }
        } else if (arg == "--node") {
            o->node = value;
            if (!IsNodeName(o->node)) {
                *error = "--node wants 1 to 64 letters, digits, - or _";
                return false;
            }
        } else {
            *error = "unknown option: " + arg;
            return false;
        }
    }
    if (o->listenPort < 0 || o->backendPort < 0) {
        *error = "--listen and --backend are required";
        return false;
    }
    return true;
}

}  // namespace gateway
