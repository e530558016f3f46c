// vemnet-http-latency: how long an HTTP connection's message takes from
// Send to the server's echo reaching OnData, and how an idle connection
// spaces its polls afterwards. Against tests/peers/session_server.py, which
// echoes a message in the reply to the request that carried it.
//
//   vemnet-http-latency PORT [MESSAGES]
//
// Prints the median and worst Send -> OnData time over MESSAGES sequential
// messages (default intervals 1000/7000 ms), then the gaps between the sent
// events of an idle connection with intervals 100/700 ms.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bench/http_conn_open.h"
#include "vemnet/httpconn.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

class Host : public VemNetwork::INetConnCallback {
public:
    void OnConnect(int) override {}
    int OnData(const char*, int length) override {
        std::lock_guard<std::mutex> g(m);
        received += size_t(length);
        dataAt = Clock::now();
        cv.notify_all();
        return length;
    }
    void OnSent() override {
        std::lock_guard<std::mutex> g(m);
        sent.push_back(Clock::now());
        cv.notify_all();
    }
    void OnTimeout() override {}
    void OnClose() override {}
    void OnError(int code) override {
        std::lock_guard<std::mutex> g(m);
        error = code;
        cv.notify_all();
    }

    std::mutex m;
    std::condition_variable cv;
    size_t received = 0;
    Clock::time_point dataAt;
    std::vector<Clock::time_point> sent;
    int error = -1;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: vemnet-http-latency PORT [MESSAGES]\n");
        return 2;
    }
    int port = std::atoi(argv[1]);
    int messages = argc > 2 ? std::atoi(argv[2]) : 100;

    // Send -> OnData, default intervals. The first message also gets the
    // session; it is not counted.
    Host echo;
    VemNetwork::IHttpConn* conn = OpenHttpConn(&echo, port, "/bench/latency", 1000, 7000);
    if (!conn) return 1;
    std::vector<double> samples;
    for (int i = 0; i <= messages; ++i) {
        size_t before;
        {
            std::lock_guard<std::mutex> g(echo.m);
            before = echo.received;
        }
        Clock::time_point start = Clock::now();
        if (conn->Send("ping", 4) != 0) break;
        std::unique_lock<std::mutex> g(echo.m);
        if (!echo.cv.wait_for(g, std::chrono::seconds(20), [&] { return echo.received >= before + 4 || echo.error >= 0; }) ||
            echo.error >= 0) {
            std::fprintf(stderr, "no echo for message %d (error %d)\n", i, echo.error);
            break;
        }
        if (i > 0) samples.push_back(Ms(echo.dataAt - start));
    }
    delete conn;
    if (samples.empty()) return 1;
    std::sort(samples.begin(), samples.end());
    std::printf("send-to-data messages=%zu median_ms=%.2f worst_ms=%.2f\n", samples.size(),
                samples[samples.size() / 2], samples.back());

    // Idle pacing: the gaps between sent events, intervals 100/700.
    Host idle;
    conn = OpenHttpConn(&idle, port, "/bench/idle", 100, 700);
    if (!conn) return 1;
    {
        std::unique_lock<std::mutex> g(idle.m);
        idle.cv.wait_for(g, std::chrono::seconds(20), [&] { return idle.sent.size() >= 12 || idle.error >= 0; });
    }
    delete conn;
    std::lock_guard<std::mutex> g(idle.m);
    std::printf("idle-sent-gaps_ms");
    for (size_t i = 1; i < idle.sent.size(); ++i) std::printf(" %.0f", Ms(idle.sent[i] - idle.sent[i - 1]));
    std::printf("\n");
    return idle.error >= 0 ? 1 : 0;
}
