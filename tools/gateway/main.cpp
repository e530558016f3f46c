// vemnet-gateway: the server side of the HTTP session protocol, relaying
// every session to its own TCP connection to one backend service.
#include <sys/resource.h>

#include <cstdio>
#include <exception>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>

#include "tools/gateway/http_server.h"
#include "tools/gateway/limits.h"
#include "tools/gateway/options.h"
#include "tools/gateway/request_router.h"
#include "tools/gateway/session_table.h"

namespace {

const int kExitUsage = 2;
const int kExitSetup = 3;

// Each session holds a backend socket and its client's connection.
void RaiseDescriptorLimit(size_t maxSessions) {
    size_t wanted = 2 * maxSessions + gateway::kSpareConnections;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < wanted) {
        std::fprintf(stderr, "vemnet-gateway: warning: %llu descriptors allowed, %zu sessions may want %zu\n",
                     static_cast<unsigned long long>(limit.rlim_cur), maxSessions, wanted);
    }
}

}  // namespace

int main(int argc, char** argv) {
    gateway::Options options;
    std::string error;
    if (!gateway::ParseOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "vemnet-gateway: %s\n\n%s", error.c_str(), gateway::kUsage);
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(gateway::kUsage, stdout);
        return 0;
    }
    size_t maxSessions = size_t(options.maxSessions);
    RaiseDescriptorLimit(maxSessions);
    try {
        namespace asio = boost::asio;
        using asio::ip::tcp;
        asio::io_context io(1);

        gateway::TableSettings settings;
        tcp::resolver resolver(io);
        settings.backend = resolver.resolve(options.backendHost, std::to_string(options.backendPort));
        settings.maxSessions = maxSessions;
        settings.idleTimeout = std::chrono::seconds(options.idleTimeoutSeconds);
        settings.node = options.node;
        settings.verbose = options.verbose;
        gateway::SessionTable table(io, settings);
        gateway::RequestRouter router(options.path, table);

        tcp::endpoint where(asio::ip::make_address(options.listenHost), static_cast<unsigned short>(options.listenPort));
        gateway::HttpServer server(io, where, maxSessions + gateway::kSpareConnections,
                                   [&router](const std::string& target, std::string body, gateway::Respond respond) {
                                       router.Handle(target, std::move(body), std::move(respond));
                                   });
        tcp::endpoint bound = server.LocalEndpoint();
        std::fprintf(stderr, "vemnet-gateway: listening on %s:%u, backend %s:%d\n", bound.address().to_string().c_str(),
                     unsigned(bound.port()), options.backendHost.c_str(), options.backendPort);

        asio::signal_set signals(io, SIGINT, SIGTERM);
        signals.async_wait([&io](const boost::system::error_code&, int) { io.stop(); });
        io.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vemnet-gateway: %s\n", e.what());
        return kExitSetup;
    }
    return 0;
}
