// What the gateway tests drive: the vemnet-gateway program of the build, an
// echo service behind it, and plain HTTP requests for what the library's
// client never sends.
#ifndef VEMNET_TEST_GATEWAY_HARNESS_H
#define VEMNET_TEST_GATEWAY_HARNESS_H

#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "tests/support/child_process.h"

namespace gateway_test {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::ip::tcp;

// A TCP echo service on 127.0.0.1 with a thread of its own; it counts the
// connections it accepted and those that ended, and can close them all.
class EchoBackend {
public:
    EchoBackend() : acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
        Accept();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~EchoBackend() {
        io_.stop();
        thread_.join();
    }
    int Port() const { return acceptor_.local_endpoint().port(); }
    int Accepted() const { return accepted_.load(); }
    int Ended() const { return ended_.load(); }
    // Writes bytes to every open connection, as a service that speaks first.
    void Push(const std::string& bytes) {
        asio::post(io_, [this, bytes] {
            for (auto& c : open_) asio::write(c->socket, asio::buffer(bytes));
        });
    }
    void CloseAll() {
        asio::post(io_, [this] {
            for (auto& c : open_) {
                boost::system::error_code ignored;
                c->socket.close(ignored);
            }
        });
    }

private:
    struct Conn {
        explicit Conn(tcp::socket s) : socket(std::move(s)) {}
        tcp::socket socket;
        std::array<char, 65536> buf;
    };

    void Accept() {
        acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket s) {
            if (ec) return;
            ++accepted_;
            auto c = std::make_shared<Conn>(std::move(s));
            open_.insert(c);
            Echo(c);
            Accept();
        });
    }
    void Echo(const std::shared_ptr<Conn>& c) {
        c->socket.async_read_some(asio::buffer(c->buf), [this, c](const boost::system::error_code& ec, size_t n) {
            if (ec) {
                End(c);
                return;
            }
            asio::async_write(c->socket, asio::buffer(c->buf.data(), n),
                              [this, c](const boost::system::error_code& wec, size_t) {
                                  if (wec) {
                                      End(c);
                                  } else {
                                      Echo(c);
                                  }
                              });
        });
    }
    void End(const std::shared_ptr<Conn>& c) {
        if (open_.erase(c)) ++ended_;
        boost::system::error_code ignored;
        c->socket.close(ignored);
    }

    asio::io_context io_;
    tcp::acceptor acceptor_;
    std::set<std::shared_ptr<Conn>> open_;  // on the service's thread only
    std::atomic<int> accepted_{0};
    std::atomic<int> ended_{0};
    std::thread thread_;
};

// An HTTP relay on 127.0.0.1 in front of the gateway that loses answers:
// it passes each request on (on a connection of its own), and of every
// dropEvery-th exchange it closes the client's connection instead of
// passing the gateway's answer back, as a proxy or NAT that drops a
// kept-alive connection does.
class LossyRelay {
public:
    LossyRelay(int targetPort, int dropEvery)
        : target_(targetPort), dropEvery_(dropEvery), acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
        accepter_ = std::thread([this] { AcceptLoop(); });
    }
    ~LossyRelay() {
        boost::system::error_code ignored;
        {
            std::lock_guard<std::mutex> g(lock_);
            stopping_ = true;
        }
        {
            // Wakes the accept.
            tcp::socket knock(io_);
            knock.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(Port())), ignored);
            accepter_.join();
        }
        acceptor_.close(ignored);
        {
            std::lock_guard<std::mutex> g(lock_);
            // The sockets are closed only with the relay: shutting one down
            // (which the workers do too) is safe from any thread.
            for (auto& s : sockets_) ::shutdown(s->native_handle(), SHUT_RDWR);
        }
        for (auto& t : workers_) t.join();
    }
    int Port() const { return acceptor_.local_endpoint().port(); }
    int Dropped() const { return dropped_.load(); }
    int Exchanges() const { return exchanges_.load(); }

private:
    void AcceptLoop() {
        while (!stopping_) {
            auto s = std::make_shared<tcp::socket>(io_);
            boost::system::error_code ec;
            acceptor_.accept(*s, ec);
            if (ec || stopping_) return;
            std::lock_guard<std::mutex> g(lock_);
            if (stopping_) return;
            sockets_.push_back(s);
            workers_.emplace_back([this, s] { Serve(*s); });
        }
    }
    void Serve(tcp::socket& client) {
        boost::beast::flat_buffer buffer;
        for (;;) {
            http::request<http::string_body> req;
            boost::system::error_code ec;
            http::read(client, buffer, req, ec);
            if (ec) return;
            http::response<http::string_body> res;
            try {
                auto up = std::make_shared<tcp::socket>(io_);
                {
                    std::lock_guard<std::mutex> g(lock_);
                    if (stopping_) return;
                    sockets_.push_back(up);
                }
                up->connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(target_)));
                http::write(*up, req);
                boost::beast::flat_buffer upBuffer;
                http::read(*up, upBuffer, res);
            } catch (const std::exception&) {
                return;
            }
            if (++exchanges_ % dropEvery_ == 0) {
                ++dropped_;
                ::shutdown(client.native_handle(), SHUT_RDWR);
                return;
            }
            http::write(client, res, ec);
            if (ec) return;
        }
    }

    int target_;
    int dropEvery_;
    asio::io_context io_;
    tcp::acceptor acceptor_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> exchanges_{0};
    std::atomic<int> dropped_{0};
    std::thread accepter_;
    std::mutex lock_;
    std::vector<std::shared_ptr<tcp::socket>> sockets_;
    std::vector<std::thread> workers_;
};

// vemnet-gateway on 127.0.0.1, on a port it picks; -v, so that its standard
// error lists the sessions it opened.
class Gateway {
public:
    // listenHost: the address to listen on, "::1" for IPv6 loopback.
    bool Start(int backendPort, const std::vector<std::string>& extra = {},
               const std::string& listenHost = "127.0.0.1") {
        const bool v6 = listenHost.find(':') != std::string::npos;
        std::vector<std::string> argv = {testing_support::BuildProgramPath("../../vemnet-gateway"), "-v", "--listen",
                                         (v6 ? "[" + listenHost + "]" : listenHost) + ":0", "--backend",
                                         "127.0.0.1:" + std::to_string(backendPort)};
        argv.insert(argv.end(), extra.begin(), extra.end());
        const std::string ready = "listening on " + listenHost + ":";
        if (!child_.Start(argv) || !child_.WaitStderrContains(ready, 10000)) return false;
        std::string err = child_.Stderr();
        port_ = std::atoi(err.c_str() + err.find(ready) + ready.size());
        size_t pid = err.find("(pid ");
        pid_ = pid == std::string::npos ? 0 : std::atoi(err.c_str() + pid + 5);
        return port_ > 0 && pid_ > 0;
    }
    int Port() const { return port_; }
    std::string Log() const { return child_.Stderr(); }
    void Signal(int signal) { kill(pid_, signal); }
    // The exit code, or -1 when it did not end within ms.
    int Wait(int ms) { return child_.Wait(ms); }
    // The gateway's resident memory in KiB (0 when unknown).
    long RssKiB() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
        }
        return 0;
    }

private:
    testing_support::ChildProcess child_;
    int port_ = 0;
    int pid_ = 0;
};

struct Reply {
    int status = 0;
    std::string body;
};

// One request on a connection of its own; status 0 when no reply came
// within ten seconds.
inline Reply Send(int port, http::verb verb, const std::string& target, const std::string& body,
                  const std::map<std::string, std::string>& headers = {}) {
    Reply r;
    try {
        asio::io_context io;
        tcp::socket s(io);
        s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
        timeval limit{10, 0};
        setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        http::request<http::string_body> req(verb, target, 11);
        req.set(http::field::host, "127.0.0.1");
        req.set(http::field::content_type, "application/x-www-form-urlencoded");
        for (const auto& h : headers) req.set(h.first, h.second);
        req.body() = body;
        req.prepare_payload();
        http::write(s, req);
        boost::beast::flat_buffer buffer;
        http::response<http::string_body> res;
        http::read(s, buffer, res);
        r.status = res.result_int();
        r.body = res.body();
    } catch (const std::exception&) {
    }
    return r;
}

inline Reply Post(int port, const std::string& target, const std::string& body,
                  const std::map<std::string, std::string>& headers = {}) {
    return Send(port, http::verb::post, target, body, headers);
}

// A connected socket to the gateway whose reads give up after ten seconds.
inline std::unique_ptr<tcp::socket> Open(asio::io_context& io, int port) {
    std::unique_ptr<tcp::socket> s(new tcp::socket(io));
    boost::system::error_code ec;
    s->connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)), ec);
    timeval limit{10, 0};
    if (!ec) setsockopt(s->native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return s;
}

// A program named on PATH, or empty.
inline std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = std::string(path ? path : "") + ":/usr/sbin:/usr/local/sbin";
    size_t from = 0;
    while (from <= dirs.size()) {
        size_t to = dirs.find(':', from);
        if (to == std::string::npos) to = dirs.size();
        std::string candidate = dirs.substr(from, to - from) + "/" + name;
        if (to > from && testing_support::FileExists(candidate)) return candidate;
        from = to + 1;
    }
    return std::string();
}

// A port on 127.0.0.1 that was free a moment ago, below the range of the
// ports outgoing connections take, so that none of them takes it meanwhile.
inline int FreePort() {
    asio::io_context io;
    std::random_device seed;
    std::mt19937 gen(seed());
    for (int attempt = 0; attempt < 200; ++attempt) {
        unsigned short port = static_cast<unsigned short>(20000 + gen() % 12000);
        tcp::acceptor a(io);
        boost::system::error_code ec;
        a.open(tcp::v4(), ec);
        if (!ec) a.bind(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), ec);
        if (!ec) return port;
    }
    return 0;
}

}  // namespace gateway_test

#endif
