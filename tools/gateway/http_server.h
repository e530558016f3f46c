// The HTTP side of the gateway, on Boost.Beast: accepts connections (up to a
// limit), reads each request with a bounded body, hands it to the request
// handler and writes its answer; kept-alive connections are read again.
#ifndef VEMNET_GATEWAY_HTTP_SERVER_H
#define VEMNET_GATEWAY_HTTP_SERVER_H

#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "tools/gateway/reply.h"

namespace gateway {

// Called with the request's target and body; answers through respond.
using RequestHandler = std::function<void(const std::string& target, std::string body, Respond respond)>;

class HttpServer {
public:
    HttpServer(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& where, size_t maxConnections,
               RequestHandler handler);
    ~HttpServer();
    // The address actually bound (its port when 0 was asked for).
    boost::asio::ip::tcp::endpoint LocalEndpoint() const;

    struct Shared;

private:
    void Accept();

    boost::asio::ip::tcp::acceptor acceptor_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace gateway

#endif
