#include "tools/gateway/options.h"

#include <cstdlib>
#include <cstring>

#include <boost/asio/ip/address.hpp>

#include "tools/gateway/session_id.h"

namespace gateway {

const char kVersion[] = "vemnet-gateway 1.1\n";

const char kUsage[] =
    "usage: vemnet-gateway --listen ADDR:PORT --backend HOST:PORT [options]\n"
    "\n"
    "Serves the HTTP session protocol of CreateHttpConn (and vemnet-cat --http):\n"
    "each session gets its own TCP connection to the backend, and the bytes of\n"
    "the session travel both ways through it. GET /healthz answers 200 \"ready\",\n"
    "503 \"full\" or 410 \"draining\"; GET /metrics answers in the Prometheus text\n"
    "format. Every request is logged in one line.\n"
    "\n"
    "  --listen ADDR:PORT       where to accept HTTP (a name or an address; port 0:\n"
    "                           any free port)\n"
    "  --backend HOST:PORT      the TCP service each session is relayed to\n"
    "  --path /p                the request path served (default /); others get 404\n"
    "  --node NAME              ends every session identifier (letters, digits, -\n"
    "                           and _), so that a load balancer can route on it\n"
    "  --max-sessions N         sessions at once (default 1000); more get 503\n"
    "  --max-connections N      HTTP connections at once (default: --max-sessions\n"
    "                           + 256); at the cap new ones wait in the backlog\n"
    "  --idle-timeout S         a session whose client stops polling for S seconds\n"
    "                           ends and its backend connection closes (default 60)\n"
    "  --hold S                 a poll of a client of the extended protocol waits\n"
    "                           up to S seconds for the backend (default 20;\n"
    "                           0: polls are answered at once)\n"
    "  --header-timeout S       a request header must arrive within S seconds\n"
    "                           (default 10), else 408\n"
    "  --body-timeout S         a request body must arrive within S seconds\n"
    "                           (default 60), else 408\n"
    "  --keepalive-idle S       a kept-alive connection idle for S seconds closes\n"
    "                           (default 30)\n"
    "  --request-memory MIB     memory shared by all request bodies being read\n"
    "                           (default 256); a body that finds it spent gets 503\n"
    "  --client-sessions N      sessions one client address may hold (default 100)\n"
    "  --client-rate N          new sessions a second one client address may open\n"
    "                           (default 20); more get 429\n"
    "  --trusted-proxy ADDR     a proxy (HAProxy) whose X-Forwarded-For names the\n"
    "                           client; may be repeated. From other addresses the\n"
    "                           header is ignored\n"
    "  --threads N              I/O threads (default: one per core)\n"
    "  --drain-timeout S        after SIGTERM, open sessions go on for at most S\n"
    "                           seconds (default 30); no new session is opened\n"
    "  --log FILE               log to FILE instead of standard error; SIGHUP\n"
    "                           reopens it (with standard error SIGHUP does nothing)\n"
    "  -v                       also one line per session opened or ended\n"
    "  --version, --help\n"
    "\n"
    "Signals: SIGTERM drains (see --drain-timeout), SIGINT stops at once, SIGHUP\n"
    "reopens the log.\n"
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

// The numeric options: name, range, field.
struct NumberOption {
    const char* name;
    int low, high;
    int Options::*field;
};
const NumberOption kNumbers[] = {
    {"--max-sessions", 1, 1000000, &Options::maxSessions},
    {"--max-connections", 1, 2000000, &Options::maxConnections},
    {"--idle-timeout", 1, 86400, &Options::idleTimeoutSeconds},
    {"--hold", 0, 3600, &Options::holdSeconds},
    {"--header-timeout", 1, 3600, &Options::headerTimeoutSeconds},
    {"--body-timeout", 1, 3600, &Options::bodyTimeoutSeconds},
    {"--keepalive-idle", 1, 3600, &Options::keepAliveIdleSeconds},
    {"--drain-timeout", 0, 86400, &Options::drainTimeoutSeconds},
    {"--request-memory", 1, 1 << 20, &Options::requestMemoryMiB},
    {"--client-sessions", 1, 1000000, &Options::clientSessions},
    {"--client-rate", 1, 1000000, &Options::clientRate},
    {"--threads", 1, 1024, &Options::threads},
};

}  // namespace

bool ParseOptions(int argc, char** argv, Options* o, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            o->help = true;
            return true;
        }
        if (arg == "--version") {
            o->version = true;
            return true;
        }
        if (arg == "-v") {
            o->verbose = true;
            continue;
        }
        const NumberOption* number = nullptr;
        for (const NumberOption& n : kNumbers) {
            if (arg == n.name) number = &n;
        }
        bool known = number || arg == "--listen" || arg == "--backend" || arg == "--path" || arg == "--node" ||
                     arg == "--trusted-proxy" || arg == "--log";
        if (!known) {
            *error = "unknown option: " + arg;
            return false;
        }
        if (i + 1 >= argc) {
            *error = arg + " wants a value";
            return false;
        }
        const char* value = argv[++i];
        if (number) {
            if (!ParseInt(value, number->low, number->high, &(o->*number->field))) {
                *error = arg + " wants a number from " + std::to_string(number->low) + " to " +
                         std::to_string(number->high) + ", not \"" + value + "\"";
                return false;
            }
        } else if (arg == "--listen") {
            if (!ParseHostPort(value, &o->listenHost, &o->listenPort)) {
                *error = "--listen wants ADDR:PORT, not \"" + std::string(value) + "\"";
                return false;
            }
        } else if (arg == "--backend") {
            if (!ParseHostPort(value, &o->backendHost, &o->backendPort) || o->backendPort == 0) {
                *error = "--backend wants HOST:PORT, not \"" + std::string(value) + "\"";
                return false;
            }
        } else if (arg == "--path") {
            o->path = value;
            if (o->path.empty() || o->path[0] != '/') {
                *error = "--path must begin with /";
                return false;
            }
        } else if (arg == "--node") {
            o->node = value;
            if (!IsNodeName(o->node)) {
                *error = "--node wants 1 to 64 letters, digits, - or _";
                return false;
            }
        } else if (arg == "--trusted-proxy") {
            boost::system::error_code ec;
            boost::asio::ip::make_address(value, ec);
            if (ec) {
                *error = "--trusted-proxy wants an IP address, not \"" + std::string(value) + "\"";
                return false;
            }
            o->trustedProxies.push_back(value);
        } else if (arg == "--log") {
            o->logPath = value;
        }
    }
    if (o->listenPort < 0 || o->backendPort < 0) {
        *error = "--listen and --backend are required";
        return false;
    }
    return true;
}

}  // namespace gateway
