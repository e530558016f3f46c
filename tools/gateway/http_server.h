// The HTTP side of the gateway, on Boost.Beast: accepts connections up to a
// cap (at the cap it stops accepting, so new connections wait in the listen
// backlog), reads each request's header and then its body step by step
// under timeouts and a memory budget shared by all connections, hands the
// request to the handler and writes its answer, with one access log line;
// kept-alive connections are read again. Every connection has a strand of
// its own, so any number of threads may run the io_context.
#ifndef VEMNET_GATEWAY_HTTP_SERVER_H
#define VEMNET_GATEWAY_HTTP_SERVER_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "tools/gateway/reply.h"
#include "tools/gateway/request_router.h"

namespace gateway {

using RequestHandler = std::function<void(Request request, Respond respond)>;

struct ServerSettings {
    size_t maxConnections = 0;
    std::chrono::seconds headerTimeout{0};
    std::chrono::seconds bodyTimeout{0};
    std::chrono::seconds keepAliveIdle{0};
    size_t requestMemory = 0;  // bytes shared by the bodies being read
    std::vector<boost::asio::ip::address> trustedProxies;
    // A body on sessionPath that names a session sessionKnown does not know
    // is answered 404 as soon as its session field is read, not after the
    // whole body (a flood of large bodies to made-up sessions costs little).
    std::string sessionPath;
    std::function<bool(const std::string& id)> sessionKnown;
};

class HttpServer {
public:
    HttpServer(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& where, ServerSettings settings,
               RequestHandler handler);
    ~HttpServer();
    // The address actually bound (its port when 0 was asked for).
    boost::asio::ip::tcp::endpoint LocalEndpoint() const;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace gateway

#endif
