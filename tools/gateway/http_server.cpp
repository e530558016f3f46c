#include "tools/gateway/http_server.h"

#include <array>
#include <optional>

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "tools/gateway/limits.h"

namespace gateway {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

// Accepting again after a failure (no descriptor left, say) waits this long.
constexpr std::chrono::milliseconds kAcceptRetry(100);

}  // namespace

struct HttpServer::Shared {
    RequestHandler handler;
    size_t maxConnections = 0;
    size_t connections = 0;
    asio::steady_timer retry;
    explicit Shared(asio::io_context& io) : retry(io) {}
};

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, std::shared_ptr<HttpServer::Shared> shared)
        : stream_(std::move(socket)), shared_(std::move(shared)) {
        ++shared_->connections;
    }
    ~Connection() { --shared_->connections; }

    void Read() {
        parser_.emplace();
        parser_->body_limit(kRequestBodyLimit);
        stream_.expires_after(kKeepAliveIdle);
        auto self = shared_from_this();
        http::async_read(stream_, buffer_, *parser_, [self](const error_code& ec, size_t) { self->OnRead(ec); });
    }

private:
    void OnRead(const error_code& ec) {
        if (ec == http::error::body_limit) {
            Write(kStatusTooLarge, "the request body is larger than " + std::to_string(kRequestBodyLimit) + " bytes\n",
                  true);
            return;
        }
        if (ec) {
            // A client that closed or went quiet between requests gets
            // nothing; one that sent something unreadable is told so.
            if (ec == http::error::end_of_stream || ec == beast::error::timeout || !parser_->got_some()) {
                Close();
                return;
            }
            Write(kStatusBadRequest, "malformed HTTP request: " + ec.message() + "\n", true);
            return;
        }
        http::request<http::string_body> request = parser_->release();
        bool keepAlive = request.keep_alive();
        std::string target(request.target());
        // The answer may wait for the backend; the session bounds that wait.
        stream_.expires_never();
        auto self = shared_from_this();
        shared_->handler(target, std::move(request.body()), [self, keepAlive](int status, std::string body) {
            self->Write(status, std::move(body), !keepAlive);
        });
    }

    void Write(int status, std::string body, bool closeAfter) {
        response_.emplace(static_cast<http::status>(status), 11);
        response_->set(http::field::content_type, status == kStatusOk ? "application/x-www-form-urlencoded" : "text/plain");
        response_->set(http::field::cache_control, "no-store");
        response_->keep_alive(!closeAfter);
        response_->body() = std::move(body);
        response_->prepare_payload();
        stream_.expires_after(kKeepAliveIdle);
        auto self = shared_from_this();
        http::async_write(stream_, *response_, [self, closeAfter](const error_code& ec, size_t) {
            if (ec) {
                self->Close();
            } else if (closeAfter) {
                self->DiscardRest();
            } else {
                self->Read();
            }
        });
    }

    // After a reply that closes the connection: stop sending, read what the
    // client still sends for a short while, then close, so that the client
    // reads the reply instead of a reset.
    void DiscardRest() {
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(kDiscardLimit);
        DiscardMore();
    }
    void DiscardMore() {
        auto self = shared_from_this();
        stream_.async_read_some(asio::buffer(discard_), [self](const error_code& ec, size_t) {
            if (ec) {
                self->Close();
            } else {
                self->DiscardMore();
            }
        });
    }

    void Close() {
        error_code ignored;
        stream_.socket().close(ignored);
    }

    beast::tcp_stream stream_;
    std::shared_ptr<HttpServer::Shared> shared_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<http::response<http::string_body>> response_;
    std::array<char, 4096> discard_;
};

}  // namespace

HttpServer::HttpServer(asio::io_context& io, const tcp::endpoint& where, size_t maxConnections, RequestHandler handler)
    : acceptor_(io), shared_(std::make_shared<Shared>(io)) {
    shared_->handler = std::move(handler);
    shared_->maxConnections = maxConnections;
    acceptor_.open(where.protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(where);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    Accept();
}

HttpServer::~HttpServer() {
    error_code ignored;
    acceptor_.close(ignored);
    shared_->retry.cancel();
}

tcp::endpoint HttpServer::LocalEndpoint() const { return acceptor_.local_endpoint(); }

void HttpServer::Accept() {
    acceptor_.async_accept([this](const error_code& ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted) return;
        if (ec) {
            shared_->retry.expires_after(kAcceptRetry);
            shared_->retry.async_wait([this](const error_code& waited) {
                if (!waited) Accept();
            });
            return;
        }
        if (shared_->connections < shared_->maxConnections) {
            socket.set_option(tcp::no_delay(true));
            std::make_shared<Connection>(std::move(socket), shared_)->Read();
        }
        Accept();
    });
}

}  // namespace gateway
