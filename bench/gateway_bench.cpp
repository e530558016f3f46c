// vemnet-gateway-bench: what one vemnet-gateway process holds and carries.
// Starts the gateway given on the command line in front of an echo service
// of its own (Boost.Asio, one thread), then measures
//
//   - sessions held idle: SESSIONS sessions opened, the gateway's resident
//     memory before and after (each session holds a backend connection);
//   - one session's throughput: MEGABYTES sent through a CreateHttpConn
//     connection with the default poll intervals and echoed back;
//   - Send -> OnData latency of 4-byte messages, default poll intervals.
//
//   vemnet-gateway-bench GATEWAY [SESSIONS] [MEGABYTES]
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "bench/http_conn_open.h"
#include "vemnet/httpconn.h"

extern char** environ;

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Echoes every connection on its own thread.
class Echo {
public:
    Echo() : acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
        Accept();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~Echo() {
        io_.stop();
        thread_.join();
    }
    int Port() const { return acceptor_.local_endpoint().port(); }

private:
    struct Conn {
        explicit Conn(tcp::socket s) : socket(std::move(s)) {}
        tcp::socket socket;
        std::array<char, 65536> buf;
    };
    void Accept() {
        acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket s) {
            if (ec) return;
            Read(std::make_shared<Conn>(std::move(s)));
            Accept();
        });
    }
    void Read(std::shared_ptr<Conn> c) {
        c->socket.async_read_some(asio::buffer(c->buf), [this, c](const boost::system::error_code& ec, size_t n) {
            if (ec) return;
            asio::async_write(c->socket, asio::buffer(c->buf.data(), n),
                              [this, c](const boost::system::error_code& wec, size_t) {
                                  if (!wec) Read(c);
                              });
        });
    }
    asio::io_context io_;
    tcp::acceptor acceptor_;
    std::thread thread_;
};

long ResidentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

int FreePort() {
    asio::io_context io;
    tcp::acceptor a(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    return a.local_endpoint().port();
}

class Host : public VemNetwork::INetConnCallback {
public:
    void OnConnect(int) override {}
    int OnData(const char* data, int length) override {
        std::lock_guard<std::mutex> g(m);
        received.append(data, size_t(length));
        dataAt = Clock::now();
        cv.notify_all();
        return length;
    }
    void OnSent() override {}
    void OnTimeout() override {}
    void OnClose() override {}
    void OnError(int code) override {
        std::lock_guard<std::mutex> g(m);
        error = code;
        cv.notify_all();
    }
    // Waits until n bytes arrived; false on an error or after the limit.
    bool WaitFor(size_t n, std::chrono::seconds limit) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, limit, [&] { return received.size() >= n || error >= 0; }) && error < 0;
    }
    std::mutex m;
    std::condition_variable cv;
    std::string received;
    Clock::time_point dataAt;
    int error = -1;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: vemnet-gateway-bench GATEWAY [SESSIONS] [MEGABYTES]\n");
        return 2;
    }
    int sessions = argc > 2 ? std::atoi(argv[2]) : 10000;
    int megabytes = argc > 3 ? std::atoi(argv[3]) : 20;

    Echo echo;
    int port = FreePort();
    std::string listen = "127.0.0.1:" + std::to_string(port);
    std::string backend = "127.0.0.1:" + std::to_string(echo.Port());
    std::string max = std::to_string(sessions + 10);
    std::vector<const char*> args = {argv[1], "--listen", listen.c_str(), "--backend", backend.c_str(),
                                     "--max-sessions", max.c_str(), "--idle-timeout", "600", nullptr};
    pid_t gateway = 0;
    if (posix_spawn(&gateway, argv[1], nullptr, nullptr, const_cast<char**>(args.data()), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[1]);
        return 1;
    }
    struct Stop {
        pid_t pid;
        ~Stop() {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    } stop{gateway};

    asio::io_context io;
    tcp::socket s(io);
    for (int i = 0; i < 100; ++i) {
        boost::system::error_code ec;
        s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)), ec);
        if (!ec) break;
        s = tcp::socket(io);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!s.is_open()) {
        std::fprintf(stderr, "the gateway did not come up\n");
        return 1;
    }

    // Sessions held idle, opened over one kept-alive connection.
    long before = ResidentKiB(gateway);
    Clock::time_point t0 = Clock::now();
    int opened = 0;
    boost::beast::flat_buffer buffer;
    for (int i = 0; i < sessions; ++i) {
        http::request<http::string_body> req(http::verb::post, "/", 11);
        req.set(http::field::host, "127.0.0.1");
        req.body() = "session=&data=";
        req.prepare_payload();
        http::write(s, req);
        http::response<http::string_body> res;
        http::read(s, buffer, res);
        opened += res.result_int() == 200;
    }
    double openMs = Ms(Clock::now() - t0);
    long after = ResidentKiB(gateway);
    std::printf("idle-sessions opened=%d of %d in %.0f ms rss_before_kib=%ld rss_after_kib=%ld per_session_kib=%.1f\n",
                opened, sessions, openMs, before, after, opened ? double(after - before) / opened : 0.0);

    // One session's throughput, default poll intervals, echoed back.
    {
        Host host;
        std::unique_ptr<VemNetwork::IHttpConn> conn(OpenHttpConn(&host, port, "/", 1000, 7000));
        if (!conn) return 1;
        std::string data(size_t(megabytes) << 20, '\0');
        std::mt19937 gen(1);
        for (char& c : data) c = char(gen());
        const size_t kChunk = 64 << 10;
        Clock::time_point start = Clock::now();
        for (size_t at = 0; at < data.size(); at += kChunk) {
            conn->Send(data.data() + at, int(std::min(kChunk, data.size() - at)));
        }
        bool ok = host.WaitFor(data.size(), std::chrono::seconds(300));
        double secs = Ms(host.dataAt - start) / 1000;
        std::lock_guard<std::mutex> g(host.m);
        std::printf("one-session-echo megabytes=%d %s seconds=%.2f mib_per_s_each_way=%.1f\n", megabytes,
                    ok && host.received == data ? "byte-exact" : "FAILED", secs, megabytes / secs);
    }

    // Send -> OnData, default poll intervals; the first message (which also
    // gets the session) is not counted.
    {
        Host host;
        std::unique_ptr<VemNetwork::IHttpConn> conn(OpenHttpConn(&host, port, "/", 1000, 7000));
        if (!conn) return 1;
        std::vector<double> samples;
        for (int i = 0; i <= 100; ++i) {
            size_t have;
            {
                std::lock_guard<std::mutex> g(host.m);
                have = host.received.size();
            }
            Clock::time_point start = Clock::now();
            conn->Send("ping", 4);
            if (!host.WaitFor(have + 4, std::chrono::seconds(20))) break;
            std::lock_guard<std::mutex> g(host.m);
            if (i > 0) samples.push_back(Ms(host.dataAt - start));
        }
        if (samples.empty()) return 1;
        std::sort(samples.begin(), samples.end());
        std::printf("send-to-data messages=%zu median_ms=%.2f p90_ms=%.2f worst_ms=%.2f\n", samples.size(),
                    samples[samples.size() / 2], samples[samples.size() * 9 / 10], samples.back());
    }
    return 0;
}
