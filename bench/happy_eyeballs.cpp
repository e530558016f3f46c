// vemnet-happy-eyeballs: how long a TcpNetConn takes to connect to a name
// whose IPv6 address never answers and whose IPv4 address does.
//
//   vemnet-happy-eyeballs --name NAME [--rounds 20] [--limit 10000]
//
// NAME must resolve to ::1 and 127.0.0.1 (a private hosts file; see
// docs/benchmarks.md). [::1]:P is a listener whose accept queue is full, so
// that SYNs to it get no answer; 127.0.0.1:P accepts. Each round connects
// to NAME:P with the given limit and measures the time to OnConnect(0).
// Prints one RESULT line: median and worst connect time, failures. The goal
// is at most 350 ms (one attempt delay of 250 ms plus the connect).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "vemnet/netconn.h"

namespace {

using Clock = std::chrono::steady_clock;

// Both families of name, or the reason why not.
bool ResolvesToBothLoopbacks(const std::string& name) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &res) != 0) return false;
    bool v4 = false, v6 = false;
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        v4 = v4 || ai->ai_family == AF_INET;
        v6 = v6 || ai->ai_family == AF_INET6;
    }
    freeaddrinfo(res);
    return v4 && v6;
}

class Host : public VemNetwork::INetConnCallback {
public:
    void OnConnect(int result) override { outcome = result == 0 ? 1 : -1; }
    int OnData(const char*, int length) override { return length; }
    void OnSent() override {}
    void OnTimeout() override {}
    void OnClose() override {}
    void OnError(int) override { outcome = -1; }
    std::atomic<int> outcome{0};
};

}  // namespace

int main(int argc, char** argv) {
    std::string name;
    int rounds = 20, limit = 10000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--name")) name = argv[i + 1];
        else if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--limit")) limit = std::atoi(argv[i + 1]);
    }
    if (name.empty() || !ResolvesToBothLoopbacks(name)) {
        std::fprintf(stderr, "vemnet-happy-eyeballs: --name must resolve to ::1 and 127.0.0.1\n");
        return 2;
    }
    // [::1]:P with a full accept queue.
    int stalled = socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_addr = in6addr_loopback;
    socklen_t n6 = sizeof a6;
    if (bind(stalled, reinterpret_cast<sockaddr*>(&a6), sizeof a6) != 0 || listen(stalled, 0) != 0 ||
        getsockname(stalled, reinterpret_cast<sockaddr*>(&a6), &n6) != 0) {
        std::perror("listen on [::1]");
        return 1;
    }
    const int port = ntohs(a6.sin6_port);
    for (int i = 0; i < 6; ++i) {
        int f = socket(AF_INET6, SOCK_STREAM, 0);
        fcntl(f, F_SETFL, O_NONBLOCK);
        connect(f, reinterpret_cast<sockaddr*>(&a6), sizeof a6);   // left open: keeps the queue full
    }
    // 127.0.0.1:P, accepting.
    int answering = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a4{};
    a4.sin_family = AF_INET;
    a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a4.sin_port = htons(uint16_t(port));
    if (bind(answering, reinterpret_cast<sockaddr*>(&a4), sizeof a4) != 0 || listen(answering, 64) != 0) {
        std::perror("listen on 127.0.0.1 at the same port");
        return 1;
    }
    std::atomic<bool> stop(false);
    std::thread acceptor([&] {
        while (!stop) {
            int c = accept(answering, nullptr, nullptr);
            if (c >= 0) close(c);
        }
    });

    const std::wstring wide(name.begin(), name.end());
    std::vector<double> times;
    int failures = 0;
    for (int r = 0; r < rounds; ++r) {
        Host host;
        VemNetwork::INetConn* conn = nullptr;
        CreateBaseConn(&conn, &host, nullptr);
        const auto start = Clock::now();
        conn->Connect(wide, port, limit, nullptr);
        while (host.outcome == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (host.outcome > 0) times.push_back(ms);
        else ++failures;
        delete conn;
    }
    stop = true;
    shutdown(answering, SHUT_RDWR);
    close(answering);
    acceptor.join();
    std::sort(times.begin(), times.end());
    const double median = times.empty() ? 0 : times[times.size() / 2];
    const double worst = times.empty() ? 0 : times.back();
    std::printf("RESULT happy-eyeballs rounds=%d connected=%zu failures=%d median_ms=%.1f worst_ms=%.1f goal_ms=350\n",
                rounds, times.size(), failures, median, worst);
    return failures == 0 && worst <= 350 ? 0 : 1;
}
