// The Boost.Asio side: one io_context per side, completion handlers in the
// usual read-some / write chain.
#include <boost/asio.hpp>

#include <memory>
#include <thread>
#include <vector>

#include "bench/common.h"

namespace bench {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

const char kPayload[kMessage] = {'p', 'i', 'n', 'g'};
char g_bulk[kBulkChunk];
const size_t kReadBuf = 65536;

// ---- server ---------------------------------------------------------------

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket s, ServerMode mode, ServerStats* stats) : sock_(std::move(s)), mode_(mode), stats_(stats) {}

    void Begin() {
        if (mode_ == ServerMode::Greet) {
            auto self = shared_from_this();
            asio::async_write(sock_, asio::buffer("g", 1), [self](error_code, size_t) {});
        }
        Read();
    }

private:
    void Read() {
        if (buf_.empty()) buf_.resize(mode_ == ServerMode::Echo ? 16384 : kReadBuf);
        auto self = shared_from_this();
        sock_.async_read_some(asio::buffer(buf_), [self](error_code ec, size_t n) {
            if (ec) {
                self->stats_->closed.fetch_add(1);
                return;
            }
            if (self->mode_ == ServerMode::Echo) {
                asio::async_write(self->sock_, asio::buffer(self->buf_.data(), n), [self](error_code ec2, size_t) {
                    if (!ec2) self->Read();
                });
                return;
            }
            if (self->mode_ == ServerMode::Sink) self->stats_->OnSinkBytes(n);
            self->Read();
        });
    }

    tcp::socket sock_;
    ServerMode mode_;
    ServerStats* stats_;
    std::vector<char> buf_;
};

class AsioServer : public Server {
public:
    AsioServer() : ioc_(1), acceptor_(ioc_) {}
    ~AsioServer() override { Stop(); }

    int Start(ServerMode mode, ServerStats* stats) override {
        mode_ = mode;
        stats_ = stats;
        tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), 0);
        acceptor_.open(ep.protocol());
        acceptor_.set_option(tcp::acceptor::reuse_address(true));
        acceptor_.bind(ep);
        acceptor_.listen(asio::socket_base::max_listen_connections);
        int port = acceptor_.local_endpoint().port();
        Accept();
        thread_ = std::thread([this] { ioc_.run(); });
        return port;
    }

    void Stop() override {
        if (!thread_.joinable()) return;
        ioc_.stop();
        thread_.join();
    }

private:
    void Accept() {
        acceptor_.async_accept([this](error_code ec, tcp::socket s) {
            if (!ec) {
                s.set_option(tcp::no_delay(true));
                stats_->OnAccepted();
                std::make_shared<Session>(std::move(s), mode_, stats_)->Begin();
            }
            Accept();
        });
    }

    asio::io_context ioc_;
    tcp::acceptor acceptor_;
    ServerMode mode_ = ServerMode::Echo;
    ServerStats* stats_ = nullptr;
    std::thread thread_;
};

// ---- client ---------------------------------------------------------------

class Client {
public:
    Client(const ClientJob& job, ClientResult* r)
        : job_(job), r_(r), ioc_(1), ep_(asio::ip::make_address("127.0.0.1"), uint16_t(job.port)) {}

    struct Conn {
        explicit Conn(asio::io_context& ioc) : sock(ioc) {}
        tcp::socket sock;
        char buf[kReadBuf];
        unsigned got = 0;
        uint64_t sent = 0;
    };

    bool Run() {
        std::vector<int> idle = OpenIdle(job_.port, job_.idle);
        if (int(idle.size()) != job_.idle) return Fail("idle-connect-failed");
        if (job_.bench == "connrate") {
            start_ = NowSec();
            end_ = start_ + job_.secs;
            for (int i = 0; i < job_.inflight; ++i) Launch();
        } else {
            int first = std::min(job_.conns, 256);
            for (int i = 0; i < first; ++i) Launch();
        }
        ioc_.run();
        for (int fd : idle) ::close(fd);
        return r_->ok;
    }

private:
    void Launch() {
        ++launched_;
        std::shared_ptr<Conn> c = std::make_shared<Conn>(ioc_);
        if (job_.bench != "connrate") conns_.push_back(c);
        c->sock.async_connect(ep_, [this, c](error_code ec) {
            if (ec) {
                Fail("connect-failed");
                return;
            }
            Connected(c);
        });
    }

    void Connected(const std::shared_ptr<Conn>& c) {
        if (job_.bench == "connrate") {
            c->sock.async_read_some(asio::buffer(c->buf, 1), [this, c](error_code ec, size_t) {
                if (ec) {
                    Fail("peer-closed");
                    return;
                }
                ++count_;
                c->sock.close();
                double now = NowSec();
                if (now < end_) {
                    Launch();
                } else if (--job_.inflight == 0) {
                    Finish(now);
                }
            });
            return;
        }
        ++connected_;
        if (job_.bench == "bulk") {
            Write(c);
            return;
        }
        if (launched_ < job_.conns) Launch();
        if (connected_ == job_.conns) {
            start_ = NowSec();
            end_ = start_ + job_.secs;
            for (auto& x : conns_) {
                Ping(x);
                Read(x);
            }
        }
    }

    void Ping(const std::shared_ptr<Conn>& c) {
        asio::async_write(c->sock, asio::buffer(kPayload, kMessage), [this](error_code ec, size_t) {
            if (ec) Fail("socket-error");
        });
    }

    void Read(const std::shared_ptr<Conn>& c) {
        c->sock.async_read_some(asio::buffer(c->buf, sizeof c->buf), [this, c](error_code ec, size_t n) {
            if (ec) {
                Fail("peer-closed");
                return;
            }
            c->got += unsigned(n);
            while (c->got >= kMessage) {
                c->got -= kMessage;
                ++count_;
                double now = NowSec();
                if (now >= end_) {
                    Finish(now);
                    return;
                }
                Ping(c);
            }
            Read(c);
        });
    }

    void Write(const std::shared_ptr<Conn>& c) {
        if (c->sent >= job_.bytes) {
            Finish(NowSec());
            return;
        }
        size_t n = size_t(std::min<uint64_t>(kBulkChunk, job_.bytes - c->sent));
        asio::async_write(c->sock, asio::buffer(g_bulk, n), [this, c](error_code ec, size_t w) {
            if (ec) {
                Fail("socket-error");
                return;
            }
            c->sent += w;
            Write(c);
        });
    }

    void Finish(double now) {
        if (done_) return;
        done_ = true;
        r_->ok = true;
        r_->count = count_;
        r_->secs = now - start_;
        ioc_.stop();
    }

    bool Fail(const char* why) {
        if (!done_) {
            done_ = true;
            r_->ok = false;
            r_->error = why;
            ioc_.stop();
        }
        return false;
    }

    ClientJob job_;
    ClientResult* r_;
    asio::io_context ioc_;
    tcp::endpoint ep_;
    std::vector<std::shared_ptr<Conn>> conns_;
    int launched_ = 0;
    int connected_ = 0;
    uint64_t count_ = 0;
    double start_ = 0, end_ = 0;
    bool done_ = false;
};

}  // namespace

std::unique_ptr<Server> MakeAsioServer() { return std::unique_ptr<Server>(new AsioServer()); }

bool AsioClient(const ClientJob& job, ClientResult* r) {
    Client c(job, r);
    return c.Run();
}

bool AsioTaskLatency(int samples, std::vector<double>* ns) {
    asio::io_context ioc(1);
    auto work = asio::make_work_guard(ioc);
    std::thread loop([&ioc] { ioc.run(); });
    std::vector<double> lat(static_cast<size_t>(samples));
    std::atomic<int> done(0);
    for (int i = 0; i < samples; ++i) {
        PauseBetweenSamples();
        uint64_t t0 = NowNs();
        double* slot = &lat[size_t(i)];
        asio::post(ioc, [t0, slot, &done] {
            *slot = double(NowNs() - t0);
            done.fetch_add(1, std::memory_order_release);
        });
        while (done.load(std::memory_order_acquire) <= i) std::this_thread::yield();
    }
    work.reset();
    ioc.stop();
    loop.join();
    *ns = lat;
    return true;
}

bool AsioTimerLateness(int samples, std::vector<double>* ns) {
    asio::io_context ioc(1);
    asio::steady_timer timer(ioc);
    uint64_t armed = 0;
    std::function<void()> arm = [&] {
        armed = NowNs();
        timer.expires_after(std::chrono::milliseconds(10));
        timer.async_wait([&](error_code ec) {
            if (ec) return;
            ns->push_back(double(NowNs() - armed) - 10e6);
            if (int(ns->size()) < samples) arm();
        });
    };
    arm();
    ioc.run();
    return int(ns->size()) == samples;
}

}  // namespace bench
