// vemnet-gateway-bench: what one vemnet-gateway process holds and carries.
// Starts the gateway given on the command line in front of an echo service
// of its own (Boost.Asio, one thread), then measures
//
//   - sessions held idle: SESSIONS sessions opened, the gateway's resident
//     memory before and after (each session holds a backend connection);
//   - one session's throughput: MEGABYTES sent through a CreateHttpConn
//     connection with the default poll intervals and echoed back;
//   - Send -> OnData latency of 4-byte messages, default poll intervals;
//   - memory after a burst: BURST sessions each echo one 3 MB message and
//     then only poll; the resident memory per session once idle;
//   - under attack, with --threads 1 and 2: a live session's echo round
//     trip (one raw exchange carrying 4 bytes) quiet, then while 3 clients
//     post 4 MiB bodies to unknown sessions in a loop, 250 connections hold
//     slow uploads to the live session (4 MiB declared, 1 MiB sent) and 300
//     sockets stay idle;
//     the resident memory under the slow uploads.
//   - the HTTP stand-in for TCP (the protocol's extension, default poll
//     intervals): delay of data the backend sends on its own, requests of
//     an idle session, memory per idle session with its held poll, and a
//     5 MiB echo through a relay that loses every fifth answer.
//
//   - with --climb only: CreateAutoConn's time to OnConnect(0) when the
//     target silently drops connections (a full accept queue) and the
//     gateway works, ROUNDS rounds, each target new (nothing remembered).
//
//   vemnet-gateway-bench GATEWAY [SESSIONS] [MEGABYTES] [BURST]
//   vemnet-gateway-bench GATEWAY --climb [ROUNDS]
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
#include "http/session_extension.h"
#include "tests/gateway/gateway_harness.h"
#include "conn/auth/base64.h"
#include "vemnet/httpconn.h"
#include "vemnet/netconn.h"

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

// A vemnet-gateway process in front of the echo; stopped with the object.
class GatewayProcess {
public:
    GatewayProcess(const char* program, int echoPort, std::vector<std::string> extra) {
        port_ = FreePort();
        std::vector<std::string> args = {program,        "--listen", "127.0.0.1:" + std::to_string(port_),
                                         "--backend",    "127.0.0.1:" + std::to_string(echoPort),
                                         "--log",        "/dev/null"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, program, nullptr, nullptr, argv.data(), environ) != 0) pid_ = 0;
    }
    ~GatewayProcess() {
        if (pid_ <= 0) return;
        kill(pid_, SIGINT);
        waitpid(pid_, nullptr, 0);
    }
    pid_t Pid() const { return pid_; }
    int Port() const { return port_; }
    // Waits until it accepts connections.
    void WaitUp() const {
        asio::io_context io;
        Connect(io);
    }
    // A connection to it, once it accepts; closed socket when it never did.
    tcp::socket Connect(asio::io_context& io) const {
        for (int i = 0; i < 100; ++i) {
            tcp::socket s(io);
            boost::system::error_code ec;
            s.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port_)), ec);
            if (!ec) return s;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return tcp::socket(io);
    }

private:
    pid_t pid_ = 0;
    int port_ = 0;
};

// One request on a kept-alive connection; the reply's status and body.
int Exchange(tcp::socket& s, boost::beast::flat_buffer& buffer, const std::string& body, std::string* reply) {
    http::request<http::string_body> req(http::verb::post, "/", 11);
    req.set(http::field::host, "127.0.0.1");
    req.body() = body;
    req.prepare_payload();
    http::write(s, req);
    http::response<http::string_body> res;
    http::read(s, buffer, res);
    if (reply) *reply = res.body();
    return res.result_int();
}

std::string NewSession(tcp::socket& s, boost::beast::flat_buffer& buffer) {
    std::string reply;
    if (Exchange(s, buffer, "session=&data=", &reply) != 200 || reply.compare(0, 8, "session=") != 0) return "";
    return reply.substr(8);
}

struct Percentiles {
    double median = 0, p99 = 0, worst = 0;
};

// Round trips of one exchange carrying 4 bytes that the echo returns.
Percentiles EchoRoundTrips(tcp::socket& s, boost::beast::flat_buffer& buffer, const std::string& id, int count) {
    std::vector<double> samples;
    const std::string body = "session=" + id + "&data=cGluZw==";
    for (int i = 0; i < count; ++i) {
        std::string reply;
        Clock::time_point start = Clock::now();
        int status = Exchange(s, buffer, body, &reply);
        double ms = Ms(Clock::now() - start);
        if (status != 200) break;
        // The echo may come with the next exchange; then both count.
        while (reply == "data=") {
            Exchange(s, buffer, "session=" + id + "&data=", &reply);
            ms = Ms(Clock::now() - start);
        }
        samples.push_back(ms);
    }
    Percentiles p;
    if (samples.empty()) return p;
    std::sort(samples.begin(), samples.end());
    p.median = samples[samples.size() / 2];
    p.p99 = samples[samples.size() * 99 / 100];
    p.worst = samples.back();
    return p;
}

// The attacks: clients posting 4 MiB bodies to unknown sessions in a loop,
// slow uploads that declare 4 MiB and send 1 MiB, idle sockets.
class Attack {
public:
    // The slow uploads name the attacker's own sessions, in turn (an unknown
    // one is refused after its first bytes), so their bodies are read into
    // the budget.
    Attack(const GatewayProcess& gw, const std::vector<std::string>& ids, int posters, int slowUploads,
           int idleSockets) {
        for (int i = 0; i < posters; ++i) {
            threads_.emplace_back([this, &gw] {
                asio::io_context io;
                const std::string body = "session=nosuchsession&data=" + std::string((4 << 20) - 64, 'A');
                while (!stop_) {
                    tcp::socket s = gw.Connect(io);
                    boost::beast::flat_buffer buffer;
                    try {
                        while (!stop_) Exchange(s, buffer, body, nullptr);
                    } catch (const std::exception&) {
                    }
                }
            });
        }
        const std::string chunk(1 << 20, 'A');
        for (int i = 0; i < slowUploads; ++i) {
            const std::string header = "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 4194304\r\n\r\nsession=" +
                                       ids[size_t(i) % ids.size()] + "&data=";
            held_.push_back(gw.Connect(io_));
            boost::system::error_code ec;
            asio::write(held_.back(), asio::buffer(header), ec);
            asio::write(held_.back(), asio::buffer(chunk), ec);
        }
        for (int i = 0; i < idleSockets; ++i) held_.push_back(gw.Connect(io_));
    }
    ~Attack() {
        stop_ = true;
        for (std::thread& t : threads_) t.join();
    }

private:
    asio::io_context io_;
    std::vector<tcp::socket> held_;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

void AttackFigures(const char* program, int echoPort, int threads) {
    // Every client is 127.0.0.1 here: the limits per client address would
    // otherwise stop the attacker's sessions before the budget is tried.
    GatewayProcess gw(program, echoPort,
                      {"--threads", std::to_string(threads), "--max-sessions", "1000", "--request-memory", "64",
                       "--header-timeout", "60", "--client-sessions", "1000", "--client-rate", "1000"});
    asio::io_context io;
    tcp::socket s = gw.Connect(io);
    boost::beast::flat_buffer buffer;
    std::string id = NewSession(s, buffer);
    if (id.empty()) {
        std::printf("attack threads=%d: no session\n", threads);
        return;
    }
    const int kRoundTrips = 300;
    Percentiles quiet = EchoRoundTrips(s, buffer, id, kRoundTrips);
    long before = ResidentKiB(gw.Pid());
    Percentiles attacked;
    long during = 0;
    {
        std::vector<std::string> own;
        tcp::socket attacker = gw.Connect(io);
        boost::beast::flat_buffer attackerBuffer;
        for (int i = 0; i < 25; ++i) own.push_back(NewSession(attacker, attackerBuffer));
        Attack attack(gw, own, 3, 250, 300);
        during = ResidentKiB(gw.Pid());
        attacked = EchoRoundTrips(s, buffer, id, kRoundTrips);
    }
    std::printf("attack threads=%d quiet_median_ms=%.2f quiet_p99_ms=%.2f quiet_worst_ms=%.2f "
                "attacked_median_ms=%.2f attacked_p99_ms=%.2f attacked_worst_ms=%.2f\n",
                threads, quiet.median, quiet.p99, quiet.worst, attacked.median, attacked.p99, attacked.worst);
    std::printf("slow-uploads threads=%d uploads=250 request_memory_mib=64 rss_before_kib=%ld rss_during_kib=%ld\n",
                threads, before, during);
}

// BURST sessions echo one 3 MB message each, then only poll.
void BurstFigures(const char* program, int echoPort, int burst) {
    GatewayProcess gw(program, echoPort, {"--client-sessions", "100000", "--client-rate", "100000"});
    asio::io_context io;
    tcp::socket s = gw.Connect(io);
    boost::beast::flat_buffer buffer;
    long before = ResidentKiB(gw.Pid());
    // 3,000,000 bytes: the largest round figure whose Base64 fits a 4 MiB body.
    std::string message(3000000, '\0');
    std::mt19937 gen(2);
    for (char& c : message) c = char(gen());
    const std::string data = Base64EncodeString(message, 0);
    int echoed = 0;
    long peak = 0;
    for (int i = 0; i < burst; ++i) {
        std::string id = NewSession(s, buffer);
        if (id.empty()) break;
        std::string reply;
        size_t back = 0;
        Exchange(s, buffer, "session=" + id + "&data=" + data, &reply);
        back += Base64DecodeString(reply.substr(5)).size();
        for (int polls = 0; back < message.size() && polls < 10000; ++polls) {
            Exchange(s, buffer, "session=" + id + "&data=", &reply);
            back += Base64DecodeString(reply.substr(5)).size();
        }
        echoed += back == message.size();
        peak = std::max(peak, ResidentKiB(gw.Pid()));
    }
    long after = ResidentKiB(gw.Pid());
    std::printf("after-burst sessions=%d echoed_3mb=%d rss_before_kib=%ld rss_idle_after_kib=%ld "
                "per_idle_session_kib=%.1f\n",
                burst, echoed, before, after, burst ? double(after - before) / burst : 0.0);
}

// Writes its steady clock (8 bytes, ns) to each connection every period,
// count times.
class Pusher {
public:
    Pusher(std::chrono::milliseconds period, int count)
        : acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)), period_(period), count_(count) {
        thread_ = std::thread([this] {
            boost::system::error_code ec;
            tcp::socket s(io_);
            acceptor_.accept(s, ec);
            for (int i = 0; i < count_ && !ec && !stop_; ++i) {
                std::this_thread::sleep_for(period_);
                int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
                asio::write(s, asio::buffer(&now, sizeof now), ec);
            }
        });
    }
    ~Pusher() {
        stop_ = true;
        boost::system::error_code ignored;
        tcp::socket knock(io_);  // wakes an accept still waiting
        knock.connect(acceptor_.local_endpoint(), ignored);
        thread_.join();
    }
    int Port() const { return acceptor_.local_endpoint().port(); }

private:
    asio::io_context io_;
    tcp::acceptor acceptor_;
    std::chrono::milliseconds period_;
    int count_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Reads the pusher's stamps and keeps each one's delay.
class StampHost : public Host {
public:
    int OnData(const char* data, int length) override {
        Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> g(m);
        pending.append(data, size_t(length));
        while (pending.size() >= 8) {
            int64_t stamp = 0;
            std::memcpy(&stamp, pending.data(), 8);
            pending.erase(0, 8);
            delays.push_back(Ms(now.time_since_epoch() - std::chrono::nanoseconds(stamp)));
        }
        received.resize(received.size() + size_t(length));
        cv.notify_all();
        return length;
    }
    std::string pending;
    std::vector<double> delays;
};

// Opens a session of the extended protocol on its own connection and leaves
// a poll held on it; false when the gateway did not offer the extension.
bool HoldOnePoll(tcp::socket& s, boost::beast::flat_buffer& buffer) {
    http::request<http::string_body> req(http::verb::post, "/", 11);
    req.set(http::field::host, "127.0.0.1");
    req.set(VemNetwork::session_ext::kHeaderName, "ext=1; rid=1");
    req.body() = "session=&data=";
    req.prepare_payload();
    http::write(s, req);
    http::response<http::string_body> res;
    http::read(s, buffer, res);
    std::string id;
    VemNetwork::session_ext::Offer offer;
    if (!VemNetwork::session_ext::ParseOffer(res.body(), &id, &offer)) return false;
    http::request<http::string_body> poll(http::verb::post, "/", 11);
    poll.set(http::field::host, "127.0.0.1");
    poll.set(VemNetwork::session_ext::kHeaderName, "rid=2; ack=1; wait=1");
    poll.body() = "session=" + id + "&data=";
    poll.prepare_payload();
    http::write(s, poll);
    return true;
}

void StandInFigures(const char* program, int echoPort) {
    // Data the backend sends on its own, every 700 ms.
    {
        const int kPushes = 40;
        Pusher pusher(std::chrono::milliseconds(700), kPushes);
        GatewayProcess gw(program, pusher.Port(), {});
        gw.WaitUp();
        StampHost host;
        std::unique_ptr<VemNetwork::IHttpConn> conn(OpenHttpConn(&host, gw.Port(), "/", 1000, 7000));
        if (!conn) return;
        conn->Send("", 0);  // opens the session, and with it the backend connection
        host.WaitFor(size_t(kPushes) * 8, std::chrono::seconds(120));
        std::lock_guard<std::mutex> g(host.m);
        if (host.error >= 0) std::printf("server-push: error %d\n", host.error);
        std::vector<double> d = host.delays;
        std::sort(d.begin(), d.end());
        if (!d.empty()) {
            std::printf("server-push pushes=%zu of %d every_ms=700 median_ms=%.2f p90_ms=%.2f worst_ms=%.2f\n", d.size(),
                        kPushes, d[d.size() / 2], d[d.size() * 9 / 10], d.back());
        }
    }
    // Requests of an idle session, counted by a relay in front of the gateway.
    {
        GatewayProcess gw(program, echoPort, {});
        gw.WaitUp();
        gateway_test::LossyRelay counter(gw.Port(), 1 << 30);
        Host host;
        std::unique_ptr<VemNetwork::IHttpConn> conn(OpenHttpConn(&host, counter.Port(), "/", 1000, 7000));
        if (!conn) return;
        conn->Send("x", 1);
        host.WaitFor(1, std::chrono::seconds(10));
        int before = counter.Exchanges();
        const int kIdleSeconds = 45;
        std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
        int requests = counter.Exchanges() - before;
        std::printf("idle-session seconds=%d requests=%d per_10s=%.2f\n", kIdleSeconds, requests,
                    requests * 10.0 / kIdleSeconds);
    }
    // Idle sessions, each with a poll held on its own connection.
    {
        const int kSessions = 2000;
        GatewayProcess gw(program, echoPort,
                          {"--max-sessions", "3000", "--client-sessions", "3000", "--client-rate", "100000"});
        gw.WaitUp();
        asio::io_context io;
        std::vector<std::unique_ptr<tcp::socket>> held;
        boost::beast::flat_buffer buffer;
        long before = ResidentKiB(gw.Pid());
        int holding = 0;
        for (int i = 0; i < kSessions; ++i) {
            held.emplace_back(new tcp::socket(gw.Connect(io)));
            boost::beast::flat_buffer b;
            holding += HoldOnePoll(*held.back(), b);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        long after = ResidentKiB(gw.Pid());
        std::printf("held-polls sessions=%d of %d rss_before_kib=%ld rss_after_kib=%ld per_session_kib=%.1f\n", holding,
                    kSessions, before, after, holding ? double(after - before) / holding : 0.0);
    }
    // A 5 MiB echo through a relay that loses every fifth answer.
    {
        GatewayProcess gw(program, echoPort, {});
        gw.WaitUp();
        gateway_test::LossyRelay relay(gw.Port(), 5);
        Host host;
        std::unique_ptr<VemNetwork::IHttpConn> conn(OpenHttpConn(&host, relay.Port(), "/", 1000, 7000));
        if (!conn) return;
        std::string data(size_t(5) << 20, '\0');
        std::mt19937 gen(3);
        for (char& c : data) c = char(gen());
        Clock::time_point start = Clock::now();
        for (size_t at = 0; at < data.size(); at += 64 << 10) {
            conn->Send(data.data() + at, int(std::min(size_t(64) << 10, data.size() - at)));
        }
        bool ok = host.WaitFor(data.size(), std::chrono::seconds(120));
        double secs = Ms(Clock::now() - start) / 1000;
        std::lock_guard<std::mutex> g(host.m);
        std::printf("lossy-relay-echo mib=5 dropped_answers=%d %s errors=%d seconds=%.2f\n", relay.Dropped(),
                    ok && host.received == data ? "byte-exact" : "FAILED", host.error < 0 ? 0 : 1, secs);
    }
}

// The host of one climb: when OnConnect came, and with what.
class ClimbHost : public Host {
public:
    void OnConnect(int result) override {
        std::lock_guard<std::mutex> g(m);
        connectResult = result;
        connectedAt = Clock::now();
        cv.notify_all();
    }
    bool WaitConnect(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, limit, [&] { return connectResult >= 0; });
    }
    int connectResult = -1;
    Clock::time_point connectedAt;
};

// A listener on 127.0.0.1 whose accept queue is full: SYNs get no answer.
struct SilentTarget {
    SilentTarget() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 0) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n) != 0)
            return;
        port = ntohs(a.sin_port);
        for (int i = 0; i < 6; ++i) {
            int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
            fillers.push_back(f);
        }
    }
    ~SilentTarget() {
        for (int f : fillers) close(f);
        close(listener);
    }
    int listener = -1;
    int port = 0;
    std::vector<int> fillers;
};

void ClimbFigures(const char* program, int echoPort, int rounds) {
    GatewayProcess gateway(program, echoPort, {});
    gateway.WaitUp();
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(gateway.Port()) + L"/";
    std::vector<double> ms;
    int failed = 0;
    for (int i = 0; i < rounds; ++i) {
        SilentTarget target;
        ClimbHost host;
        VemNetwork::INetConn* conn = nullptr;
        CreateAutoConn(&conn, &host, nullptr, url.c_str());
        if (!conn) return;
        Clock::time_point start = Clock::now();
        conn->Connect(L"127.0.0.1", target.port, 10000, nullptr);
        if (host.WaitConnect(std::chrono::seconds(15)) && host.connectResult == 0) {
            ms.push_back(Ms(host.connectedAt - start));
        } else {
            ++failed;
        }
        delete conn;
    }
    std::sort(ms.begin(), ms.end());
    if (ms.empty()) {
        std::printf("climb: no round connected (%d failed)\n", failed);
        return;
    }
    std::printf("climb to a silent target: rounds=%d connected=%zu median=%.1f ms p90=%.1f ms worst=%.1f ms\n",
                rounds, ms.size(), ms[ms.size() / 2], ms[ms.size() * 9 / 10], ms.back());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[2], "--climb") == 0) {
        Echo echo;
        ClimbFigures(argv[1], echo.Port(), argc > 3 ? std::atoi(argv[3]) : 20);
        return 0;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: vemnet-gateway-bench GATEWAY [SESSIONS] [MEGABYTES] [BURST]\n");
        return 2;
    }
    int sessions = argc > 2 ? std::atoi(argv[2]) : 10000;
    int megabytes = argc > 3 ? std::atoi(argv[3]) : 20;
    int burst = argc > 4 ? std::atoi(argv[4]) : 100;

    Echo echo;
    int port = FreePort();
    std::string listen = "127.0.0.1:" + std::to_string(port);
    std::string backend = "127.0.0.1:" + std::to_string(echo.Port());
    std::string max = std::to_string(sessions + 10);
    std::vector<const char*> args = {argv[1], "--listen", listen.c_str(), "--backend", backend.c_str(),
                                     "--max-sessions", max.c_str(), "--idle-timeout", "600",
                                     "--client-sessions", max.c_str(), "--client-rate", "1000000",
                                     "--log", "/dev/null", nullptr};
    pid_t gateway = 0;
    if (posix_spawn(&gateway, argv[1], nullptr, nullptr, const_cast<char**>(args.data()), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[1]);
        return 1;
    }
    struct Stop {
        pid_t pid;
        ~Stop() {
            kill(pid, SIGINT);
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
    try {
        StandInFigures(argv[1], echo.Port());
        BurstFigures(argv[1], echo.Port(), burst);
        AttackFigures(argv[1], echo.Port(), 1);
        AttackFigures(argv[1], echo.Port(), 2);
    } catch (const std::exception& e) {
        std::printf("FAILED: %s\n", e.what());
        return 1;
    }
    return 0;
}
