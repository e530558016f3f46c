#include "tools/gateway/http_server.h"

#include <array>
#include <atomic>
#include <ctime>
#include <new>
#include <optional>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "http/session_extension.h"
#include "tools/gateway/form_body.h"
#include "tools/gateway/limits.h"
#include "tools/gateway/log.h"
#include "tools/gateway/metrics.h"
#include "tools/gateway/session_id.h"

namespace gateway {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

// Accepting again after a failure (no descriptor left, say) waits this long;
// the failure is logged at most once in kAcceptLogEvery.
constexpr std::chrono::milliseconds kAcceptRetry(100);
constexpr std::chrono::seconds kAcceptLogEvery(10);
// The interim reply to "Expect: 100-continue".
const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
// "session=" and the longest identifier (32 digits, '-', a 64-character
// node): a longer field names no session of this gateway.
constexpr size_t kSessionFieldLimit = 8 + 32 + 1 + 64;
// What the access log shows of a target at most.
constexpr size_t kLoggedTarget = 100;

}  // namespace

struct HttpServer::Shared : std::enable_shared_from_this<Shared> {
    Shared(asio::io_context& context, ServerSettings s, RequestHandler h)
        : io(context),
          settings(std::move(s)),
          handler(std::move(h)),
          acceptor(asio::make_strand(context)),
          retry(acceptor.get_executor()) {}

    void Accept();
    void ConnectionClosed();
    // Takes n bytes of the body budget; false when it is spent.
    bool Charge(size_t n);
    void Refund(size_t n) { bodyMemory -= n; }

    asio::io_context& io;
    ServerSettings settings;
    RequestHandler handler;
    tcp::acceptor acceptor;
    asio::steady_timer retry;
    std::atomic<size_t> connections{0};
    std::atomic<bool> paused{false};
    std::atomic<bool> stopped{false};
    std::atomic<size_t> bodyMemory{0};
    Clock::time_point acceptFailureLogged{};
};

bool HttpServer::Shared::Charge(size_t n) {
    size_t now = bodyMemory.load();
    do {
        if (now + n > settings.requestMemory) return false;
    } while (!bodyMemory.compare_exchange_weak(now, now + n));
    return true;
}

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, std::shared_ptr<HttpServer::Shared> shared)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), shared_(std::move(shared)) {
        error_code ec;
        tcp::endpoint peer = socket_.remote_endpoint(ec);
        if (!ec) peer_ = peer.address();
        GatewayMetrics().connections++;
        GatewayMetrics().connectionsAccepted++;
    }
    ~Connection() {
        DropBody();
        GatewayMetrics().connections--;
        shared_->ConnectionClosed();
    }

    void Start() { ReadHeader(); }
    asio::any_io_executor Executor() { return socket_.get_executor(); }

private:
    // One deadline at a time; when it passes, the operation under way is
    // cancelled and timedOut_ tells its completion why.
    void Arm(Clock::duration d) {
        timedOut_ = false;
        unsigned generation = ++generation_;
        timer_.expires_after(d);
        auto self = shared_from_this();
        timer_.async_wait([self, generation](const error_code& ec) {
            if (ec || generation != self->generation_) return;
            self->timedOut_ = true;
            error_code ignored;
            self->socket_.cancel(ignored);
        });
    }
    void Disarm() {
        ++generation_;
        timer_.cancel();
    }

    // Between kept-alive requests: wait for the next one's first byte, at
    // most --keepalive-idle, holding no buffer meanwhile.
    void WaitNext() {
        if (buffer_.size() > 0) {
            ReadHeader();
            return;
        }
        buffer_.shrink_to_fit();
        Arm(shared_->settings.keepAliveIdle);
        auto self = shared_from_this();
        socket_.async_wait(tcp::socket::wait_read, [self](const error_code& ec) {
            self->Disarm();
            if (ec || self->timedOut_) {
                self->Close();
                return;
            }
            self->ReadHeader();
        });
    }

    void ReadHeader() {
        parser_.emplace();
        parser_->header_limit(kRequestHeaderLimit);
        parser_->body_limit(kRequestBodyLimit);
        started_ = Clock::now();
        head_ = false;
        sessionChecked_ = false;
        Arm(shared_->settings.headerTimeout);
        auto self = shared_from_this();
        http::async_read_header(socket_, buffer_, *parser_,
                                [self](const error_code& ec, size_t) { self->Contained([&] { self->OnHeader(ec); }); });
    }

    void OnHeader(const error_code& ec) {
        Disarm();
        if (timedOut_ && parser_->got_some()) {
            Refuse(kStatusRequestTimeout, Refusal::Timeout,
                   "the request header did not arrive within " +
                       std::to_string(shared_->settings.headerTimeout.count()) + " s");
            return;
        }
        if (timedOut_ || ec == http::error::end_of_stream || (ec && !parser_->got_some())) {
            Close();
            return;
        }
        // A declared length over the limit ends the header read.
        if (ec == http::error::body_limit) {
            RefuseTooLarge();
            return;
        }
        if (ec) {
            Refuse(kStatusBadRequest, Refusal::Count, "malformed HTTP request: " + ec.message());
            return;
        }
        const auto& header = parser_->get();
        method_ = std::string(header.method_string());
        target_ = std::string(header.target());
        head_ = header.method() == http::verb::head;
        keepAlive_ = header.keep_alive();
        client_ = ClientOf(header);
        auto ext = header.find(VemNetwork::session_ext::kHeaderName);
        ext_ = ext == header.end() ? std::string() : std::string(ext->value().substr(0, kExtHeaderLimit));
        boost::optional<std::uint64_t> length = parser_->content_length();
        if (length && *length > kRequestBodyLimit) {
            RefuseTooLarge();
            return;
        }
        Arm(shared_->settings.bodyTimeout);
        if (!parser_->is_done() && beast::iequals(header[http::field::expect], "100-continue")) {
            auto self = shared_from_this();
            asio::async_write(socket_, asio::buffer(kContinue, sizeof kContinue - 1),
                              [self](const error_code& wec, size_t) {
                                  if (wec || self->timedOut_) {
                                      self->Close();
                                      return;
                                  }
                                  self->Contained([&] { self->ReadBody(); });
                              });
            return;
        }
        ReadBody();
    }

    // The body grows by at most kBodyReadStep at a time, into a string whose
    // capacity beyond kUnbudgetedBody is charged to the shared budget.
    void ReadBody() {
        if (parser_->is_done()) {
            Disarm();
            Dispatch();
            return;
        }
        size_t have = body_.size();
        size_t step = kBodyReadStep;
        boost::optional<std::uint64_t> remaining = parser_->content_length_remaining();
        if (remaining && *remaining < step) step = size_t(*remaining);
        if (!Grow(have + step)) {
            Refuse(kStatusUnavailable, Refusal::Memory, "the gateway's memory for request bodies is in use; try again");
            return;
        }
        body_.resize(have + step);
        parser_->get().body().data = &body_[have];
        parser_->get().body().size = step;
        parser_->get().body().more = true;
        auto self = shared_from_this();
        http::async_read_some(socket_, buffer_, *parser_, [self, have, step](error_code ec, size_t) {
            self->Contained([&] {
                size_t got = step - self->parser_->get().body().size;
                self->body_.resize(have + got);
                if (ec == http::error::need_buffer) ec = {};
                if (self->timedOut_) {
                    self->Refuse(kStatusRequestTimeout, Refusal::Timeout,
                                 "the request body did not arrive within " +
                                     std::to_string(self->shared_->settings.bodyTimeout.count()) + " s");
                } else if (ec == http::error::body_limit) {
                    self->RefuseTooLarge();
                } else if (ec == http::error::partial_message || ec == asio::error::eof ||
                           ec == asio::error::connection_reset) {
                    self->Close();
                } else if (ec) {
                    self->Refuse(kStatusBadRequest, Refusal::Count, "malformed HTTP request: " + ec.message());
                } else if (!self->parser_->is_done() && self->NamesUnknownSession()) {
                    self->Refuse(kStatusNotFound, Refusal::Count, "unknown session");
                } else {
                    self->ReadBody();
                }
            });
        });
    }

    // Once, when the body's session field is complete.
    bool NamesUnknownSession() {
        const ServerSettings& settings = shared_->settings;
        if (sessionChecked_ || !settings.sessionKnown) return false;
        size_t fieldEnd = body_.find('&');
        if (fieldEnd == std::string::npos && body_.size() <= kSessionFieldLimit) return false;
        sessionChecked_ = true;
        if (PathOfTarget(target_) != settings.sessionPath) return false;
        std::string named = SessionNamedIn(body_.substr(0, kSessionFieldLimit + 1));
        return !named.empty() && named.size() <= kSessionFieldLimit && !settings.sessionKnown(named);
    }

    bool Grow(size_t size) {
        if (size <= body_.capacity()) return true;
        size_t capacity = std::max(size, std::min(2 * body_.capacity(), kRequestBodyLimit + kBodyReadStep));
        size_t charge = capacity > kUnbudgetedBody ? capacity - kUnbudgetedBody : 0;
        if (charge > charged_) {
            if (!shared_->Charge(charge - charged_)) return false;
            charged_ = charge;
        }
        body_.reserve(capacity);
        return true;
    }
    void DropBody() {
        std::string().swap(body_);
        shared_->Refund(charged_);
        charged_ = 0;
    }

    void Dispatch() {
        Request request;
        request.method = method_;
        request.target = target_;
        request.client = client_;
        request.ext = std::move(ext_);
        bytesIn_ = body_.size();
        GatewayMetrics().RequestBody(bytesIn_);
        session_ = SessionNamedIn(body_);
        request.body = std::move(body_);
        DropBody();
        bool keepAlive = keepAlive_;
        auto self = shared_from_this();
        Respond respond = [self, keepAlive](int status, std::string body) {
            asio::post(self->socket_.get_executor(), [self, keepAlive, status, body = std::move(body)]() mutable {
                self->Contained([&] { self->Write(status, std::move(body), !keepAlive); });
            });
        };
        shared_->handler(std::move(request), std::move(respond));
    }

    // The client's address: the peer's, or the last entry of the
    // X-Forwarded-For a trusted proxy added.
    template <class Header>
    std::string ClientOf(const Header& header) const {
        bool trusted = false;
        for (const auto& proxy : shared_->settings.trustedProxies) trusted = trusted || proxy == peer_;
        auto field = header.find("X-Forwarded-For");
        if (trusted && field != header.end()) {
            std::string list(field->value());
            size_t comma = list.rfind(',');
            std::string last = comma == std::string::npos ? list : list.substr(comma + 1);
            size_t from = last.find_first_not_of(" \t"), to = last.find_last_not_of(" \t");
            error_code ec;
            asio::ip::address a =
                from == std::string::npos ? asio::ip::address() : asio::ip::make_address(last.substr(from, to - from + 1), ec);
            if (from != std::string::npos && !ec) return a.to_string();
        }
        return peer_.to_string();
    }

    void RefuseTooLarge() {
        Refuse(kStatusTooLarge, Refusal::TooLarge,
               "the request body is larger than " + std::to_string(kRequestBodyLimit) + " bytes");
    }
    void Refuse(int status, Refusal why, const std::string& text) {
        Disarm();
        DropBody();
        if (why != Refusal::Count) GatewayMetrics().Refused(why);
        Write(status, text + "\n", true);
    }

    void Write(int status, std::string body, bool closeAfter) {
        if (session_.empty()) session_ = SessionNamedIn(body);
        LogAccess(status, body.size());
        GatewayMetrics().Reply(status, body.size());
        response_.emplace(static_cast<http::status>(status), 11);
        bool form = status == kStatusOk && !session_.empty();
        response_->set(http::field::content_type, form ? "application/x-www-form-urlencoded" : "text/plain");
        response_->set(http::field::cache_control, "no-store");
        response_->keep_alive(!closeAfter);
        response_->body() = std::move(body);
        response_->prepare_payload();
        // A reply to HEAD has the length of the body it would carry, and
        // no body.
        if (head_) std::string().swap(response_->body());
        session_.clear();
        Arm(kWriteLimit);
        auto self = shared_from_this();
        http::async_write(socket_, *response_, [self, closeAfter](const error_code& ec, size_t) {
            self->Disarm();
            self->response_.reset();
            if (ec || self->timedOut_) {
                self->Close();
            } else if (closeAfter) {
                self->DiscardRest();
            } else {
                self->Contained([&] { self->WaitNext(); });
            }
        });
    }

    void LogAccess(int status, size_t bytesOut) {
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - started_).count();
        char when[32];
        std::time_t now = std::time(nullptr);
        std::tm utc{};
        gmtime_r(&now, &utc);
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
        std::string target = target_.substr(0, kLoggedTarget);
        for (char& c : target) {
            if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e) c = '?';
        }
        std::string method = method_.empty() ? "-" : method_.substr(0, 16);
        std::string session = session_.empty() ? "-" : ShortSessionId(session_);
        std::string client = client_.empty() ? peer_.to_string() : client_;
        GatewayLog().Line("%s %s \"%s %s\" %d in=%zu out=%zu %.1fms session=%s", when, client.c_str(), method.c_str(),
                          target.empty() ? "-" : target.c_str(), status, bytesIn_, bytesOut, ms, session.c_str());
        method_.clear();
        target_.clear();
        bytesIn_ = 0;
    }

    // After a reply that closes the connection: stop sending, read what the
    // client still sends for a short while, then close, so that the client
    // reads the reply instead of a reset.
    void DiscardRest() {
        error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        buffer_.clear();
        buffer_.shrink_to_fit();
        discard_.reset(new std::array<char, 4096>);
        Arm(kDiscardLimit);
        DiscardMore();
    }
    void DiscardMore() {
        auto self = shared_from_this();
        socket_.async_read_some(asio::buffer(*discard_), [self](const error_code& ec, size_t) {
            if (ec || self->timedOut_) {
                self->Close();
            } else {
                self->DiscardMore();
            }
        });
    }

    void Close() {
        Disarm();
        error_code ignored;
        socket_.close(ignored);
    }

    // Runs a step; an exception there (an allocation that failed) fails this
    // request with a status and a line naming the cause, nothing else.
    template <class F>
    void Contained(F&& f) {
        const char* cause = nullptr;
        int status = kStatusInternalError;
        try {
            f();
            return;
        } catch (const std::bad_alloc&) {
            cause = "the gateway is out of memory";
            status = kStatusUnavailable;
        } catch (const std::exception& e) {
            cause = "the gateway failed on this request";
            GatewayLog().Line("request from %s failed: %s", peer_.to_string().c_str(), e.what());
        }
        GatewayLog().Line("request from %s: %s", peer_.to_string().c_str(), cause);
        try {
            if (socket_.is_open() && !response_) {
                Refuse(status, Refusal::Error, cause);
            } else {
                Close();
            }
        } catch (const std::exception&) {
            Close();
        }
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    unsigned generation_ = 0;
    bool timedOut_ = false;
    std::shared_ptr<HttpServer::Shared> shared_;
    asio::ip::address peer_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::buffer_body>> parser_;
    std::string body_;
    size_t charged_ = 0;
    std::optional<http::response<http::string_body>> response_;
    std::unique_ptr<std::array<char, 4096>> discard_;
    // The request under way, for its reply and the log.
    std::string method_, target_, client_, session_, ext_;
    bool head_ = false;
    bool keepAlive_ = false;
    bool sessionChecked_ = false;
    Clock::time_point started_;
    size_t bytesIn_ = 0;
};

}  // namespace

void HttpServer::Shared::Accept() {
    if (stopped) return;
    // At the cap: stop accepting; new connections wait in the backlog until
    // one closes. paused is set before connections is read again, so that a
    // connection closing meanwhile sees it.
    if (connections.load() >= settings.maxConnections) {
        paused = true;
        if (connections.load() >= settings.maxConnections) return;
        paused = false;
    }
    auto self = shared_from_this();
    acceptor.async_accept(asio::make_strand(io), [self](const error_code& ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || self->stopped) return;
        if (ec) {
            Clock::time_point now = Clock::now();
            if (now - self->acceptFailureLogged >= kAcceptLogEvery) {
                self->acceptFailureLogged = now;
                GatewayLog().Line("cannot accept a connection: %s; trying again every %d ms", ec.message().c_str(),
                                  int(kAcceptRetry.count()));
            }
            if (ec == asio::error::no_descriptors) GatewayMetrics().Refused(Refusal::Descriptors);
            self->retry.expires_after(kAcceptRetry);
            self->retry.async_wait([self](const error_code& waited) {
                if (!waited) self->Accept();
            });
            return;
        }
        error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        ++self->connections;
        auto connection = std::make_shared<Connection>(std::move(socket), self);
        asio::post(connection->Executor(), [connection] { connection->Start(); });
        self->Accept();
    });
}

void HttpServer::Shared::ConnectionClosed() {
    --connections;
    if (!paused || stopped) return;
    auto self = shared_from_this();
    asio::post(acceptor.get_executor(), [self] {
        if (self->paused && self->connections.load() < self->settings.maxConnections) {
            self->paused = false;
            self->Accept();
        }
    });
}

HttpServer::HttpServer(asio::io_context& io, const tcp::endpoint& where, ServerSettings settings,
                       RequestHandler handler)
    : shared_(std::make_shared<Shared>(io, std::move(settings), std::move(handler))) {
    tcp::acceptor& acceptor = shared_->acceptor;
    acceptor.open(where.protocol());
    acceptor.set_option(asio::socket_base::reuse_address(true));
    acceptor.bind(where);
    acceptor.listen(asio::socket_base::max_listen_connections);
    asio::post(acceptor.get_executor(), [shared = shared_] { shared->Accept(); });
}

HttpServer::~HttpServer() {
    shared_->stopped = true;
    error_code ignored;
    shared_->acceptor.close(ignored);
    shared_->retry.cancel();
}

tcp::endpoint HttpServer::LocalEndpoint() const { return shared_->acceptor.local_endpoint(); }

}  // namespace gateway
