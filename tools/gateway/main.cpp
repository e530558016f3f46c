// vemnet-gateway: the server side of the HTTP session protocol, relaying
// every session to its own TCP connection to one backend service.
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "tools/gateway/http_server.h"
#include "tools/gateway/limits.h"
#include "tools/gateway/log.h"
#include "tools/gateway/options.h"
#include "tools/gateway/request_router.h"
#include "tools/gateway/session_table.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;

const int kExitUsage = 2;
const int kExitSetup = 3;
// While draining, the table is looked at this often; once the drain
// timeout passed, the sessions still open are ended and the process waits
// at most kStopGrace for their last replies.
constexpr std::chrono::milliseconds kDrainPoll(100);
constexpr std::chrono::seconds kStopGrace(2);

// Each session holds a backend socket and its client's connection.
void RaiseDescriptorLimit(size_t maxSessions, size_t maxConnections) {
    size_t wanted = maxSessions + maxConnections + 64;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur < wanted) {
        gateway::GatewayLog().Line("warning: %llu descriptors allowed, %zu sessions and %zu connections may want %zu",
                                   static_cast<unsigned long long>(limit.rlim_cur), maxSessions, maxConnections,
                                   wanted);
    }
}

// Resolves HOST:PORT of an option; the error names the option.
bool Resolve(asio::io_context& io, const char* option, const std::string& host, int port, bool passive,
             tcp::resolver::results_type* out, std::string* error) {
    tcp::resolver resolver(io);
    boost::system::error_code ec;
    *out = resolver.resolve(host, std::to_string(port),
                            passive ? tcp::resolver::passive : tcp::resolver::flags(), ec);
    if (ec || out->empty()) {
        *error = std::string(option) + " " + host + ":" + std::to_string(port) + ": " +
                 (ec ? ec.message() : std::string("no address"));
        return false;
    }
    return true;
}

// One I/O thread. An exception that escapes a handler (each handler
// contains its own) is logged and the thread serves on.
void Serve(asio::io_context& io) {
    for (;;) {
        try {
            io.run();
            return;
        } catch (const std::exception& e) {
            gateway::GatewayLog().Line("an exception escaped a handler: %s; serving on", e.what());
        }
    }
}

// SIGTERM: no new sessions; the process ends when the last session ended
// or the drain timeout passed. SIGINT stops at once; SIGHUP reopens the log.
class Signals {
public:
    Signals(asio::io_context& io, gateway::SessionTable& table, std::chrono::seconds drainTimeout)
        : io_(io), strand_(asio::make_strand(io)), signals_(strand_, SIGINT, SIGTERM, SIGHUP), timer_(strand_),
          table_(table), drainTimeout_(drainTimeout) {
        Wait();
    }

private:
    void Wait() {
        signals_.async_wait([this](const boost::system::error_code& ec, int signal) {
            if (ec) return;
            if (signal == SIGHUP) {
                gateway::GatewayLog().Reopen();
                gateway::GatewayLog().Line("SIGHUP: log reopened");
            } else if (signal == SIGTERM && !draining_) {
                draining_ = true;
                deadline_ = std::chrono::steady_clock::now() + drainTimeout_;
                gateway::GatewayLog().Line("SIGTERM: draining %zu sessions for at most %lld s", table_.Size(),
                                           static_cast<long long>(drainTimeout_.count()));
                table_.StartDrain();
                Poll();
            } else {
                gateway::GatewayLog().Line("%s: stopping", signal == SIGINT ? "SIGINT" : "SIGTERM again");
                io_.stop();
                return;
            }
            Wait();
        });
    }
    void Poll() {
        auto now = std::chrono::steady_clock::now();
        if (table_.Size() == 0) {
            gateway::GatewayLog().Line("drained: no session left, stopping");
            io_.stop();
            return;
        }
        if (now >= deadline_ + kStopGrace) {
            gateway::GatewayLog().Line("drain timeout: stopping with %zu sessions", table_.Size());
            io_.stop();
            return;
        }
        if (now >= deadline_ && !ended_) {
            ended_ = true;
            gateway::GatewayLog().Line("drain timeout: ending %zu sessions", table_.Size());
            table_.EndAll("the gateway stops");
        }
        timer_.expires_after(kDrainPoll);
        timer_.async_wait([this](const boost::system::error_code& ec) {
            if (!ec) Poll();
        });
    }

    asio::io_context& io_;
    asio::strand<asio::io_context::executor_type> strand_;
    asio::signal_set signals_;
    asio::steady_timer timer_;
    gateway::SessionTable& table_;
    std::chrono::seconds drainTimeout_;
    bool draining_ = false;
    bool ended_ = false;
    std::chrono::steady_clock::time_point deadline_;
};

}  // namespace

int main(int argc, char** argv) {
    // Request bodies and replies of up to a few MiB come and go with every
    // exchange. Served from mmap, as the allocator does by default above
    // 128 KiB, each one faults its pages in afresh (a third of the time of a
    // bulk transfer); from the heap they reuse memory, and the trims after
    // bursts still give idle memory back.
    mallopt(M_MMAP_THRESHOLD, int(gateway::kRequestBodyLimit + gateway::kBodyReadStep));
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
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
    if (options.version) {
        std::fputs(gateway::kVersion, stdout);
        return 0;
    }
    gateway::Log& log = gateway::GatewayLog();
    if (!log.Open(options.logPath, &error)) {
        std::fprintf(stderr, "vemnet-gateway: %s\n", error.c_str());
        return kExitUsage;
    }
    size_t maxSessions = size_t(options.maxSessions);
    size_t maxConnections =
        options.maxConnections > 0 ? size_t(options.maxConnections) : maxSessions + gateway::kSpareConnections;
    RaiseDescriptorLimit(maxSessions, maxConnections);
    unsigned threads = options.threads > 0 ? unsigned(options.threads) : std::max(1u, std::thread::hardware_concurrency());
    try {
        asio::io_context io{int(threads)};

        gateway::TableSettings settings;
        tcp::resolver::results_type listen;
        if (!Resolve(io, "--backend", options.backendHost, options.backendPort, false, &settings.backend, &error) ||
            !Resolve(io, "--listen", options.listenHost, options.listenPort, true, &listen, &error)) {
            log.Line("%s", error.c_str());
            return kExitSetup;
        }
        settings.maxSessions = maxSessions;
        settings.clientSessions = size_t(options.clientSessions);
        settings.clientRate = double(options.clientRate);
        settings.idleTimeout = std::chrono::seconds(options.idleTimeoutSeconds);
        settings.hold = std::chrono::seconds(options.holdSeconds);
        settings.node = options.node;
        settings.verbose = options.verbose;
        gateway::SessionTable table(io, settings);
        gateway::RequestRouter router(options.path, table);

        gateway::ServerSettings serverSettings;
        serverSettings.maxConnections = maxConnections;
        serverSettings.headerTimeout = std::chrono::seconds(options.headerTimeoutSeconds);
        serverSettings.bodyTimeout = std::chrono::seconds(options.bodyTimeoutSeconds);
        serverSettings.keepAliveIdle = std::chrono::seconds(options.keepAliveIdleSeconds);
        serverSettings.requestMemory = size_t(options.requestMemoryMiB) << 20;
        for (const std::string& a : options.trustedProxies) {
            serverSettings.trustedProxies.push_back(asio::ip::make_address(a));
        }
        serverSettings.sessionPath = options.path;
        serverSettings.sessionKnown = [&table](const std::string& id) { return table.Knows(id); };
        tcp::endpoint where = listen->endpoint();
        std::unique_ptr<gateway::HttpServer> server;
        try {
            server.reset(new gateway::HttpServer(io, where, serverSettings,
                                                 [&router](gateway::Request request, gateway::Respond respond) {
                                                     router.Handle(std::move(request), std::move(respond));
                                                 }));
        } catch (const boost::system::system_error& e) {
            log.Line("--listen %s:%d: %s", options.listenHost.c_str(), options.listenPort, e.code().message().c_str());
            return kExitSetup;
        }
        tcp::endpoint bound = server->LocalEndpoint();
        Signals signals(io, table, std::chrono::seconds(options.drainTimeoutSeconds));
        log.Line("listening on %s:%u (pid %d, %u threads), backend %s:%d", bound.address().to_string().c_str(),
                 unsigned(bound.port()), int(getpid()), threads, options.backendHost.c_str(), options.backendPort);

        std::vector<std::thread> pool;
        for (unsigned i = 1; i < threads; ++i) pool.emplace_back([&io] { Serve(io); });
        Serve(io);
        for (std::thread& t : pool) t.join();
        server.reset();
    } catch (const std::exception& e) {
        log.Line("%s", e.what());
        return kExitSetup;
    }
    return 0;
}
