#include "bench/common.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

namespace bench {

void ServerStats::OnAccepted() {
    uint64_t n = accepted.fetch_add(1) + 1;
    if (rssAfter && n == rssAfter) rssKb.store(ResidentKb());
}

std::unique_ptr<Server> MakeServer(const std::string& lib) {
    if (lib == "vemnet") return MakeVemnetServer();
    if (lib == "libevent") return MakeLibeventServer();
    if (lib == "asio") return MakeAsioServer();
    if (lib == "uring") return MakeUringServer(false);
    if (lib == "uring-batch") return MakeUringServer(true);
    return nullptr;
}

bool RunClient(const std::string& lib, const ClientJob& job, ClientResult* r) {
    if (lib == "vemnet") return VemnetClient(job, r);
    if (lib == "libevent") return LibeventClient(job, r);
    if (lib == "asio") return AsioClient(job, r);
    if (lib == "uring") return UringClient(job, false, r);
    if (lib == "uring-batch") return UringClient(job, true, r);
    r->error = "no-client-for-this-library";
    return false;
}

bool TaskLatency(const std::string& lib, int samples, std::vector<double>* ns) {
    if (lib == "vemnet") return VemnetTaskLatency(samples, ns);
    if (lib == "asio") return AsioTaskLatency(samples, ns);
    if (lib == "libuv") return UvTaskLatency(samples, ns);
    return false;
}

bool TimerLateness(const std::string& lib, int samples, std::vector<double>* ns) {
    if (lib == "vemnet") return VemnetTimerLateness(samples, ns);
    if (lib == "libevent") return LibeventTimerLateness(samples, ns);
    if (lib == "asio") return AsioTimerLateness(samples, ns);
    return false;
}

long ResidentKb() {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return 0;
    char line[256];
    long kb = 0;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0) {
            kb = std::atol(line + 6);
            break;
        }
    }
    std::fclose(f);
    return kb;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    // Nearest rank: the smallest sample with at least p % at or below it.
    size_t rank = size_t(std::ceil(p / 100.0 * double(v.size())));
    if (rank == 0) rank = 1;
    if (rank > v.size()) rank = v.size();
    return v[rank - 1];
}

void SetNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::vector<int> OpenIdle(int port, int n) {
    std::vector<int> fds;
    fds.reserve(size_t(n));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < n; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) break;
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            close(fd);
            break;
        }
        fds.push_back(fd);
        // The server takes them one by one; a full accept queue would
        // make the kernel drop handshakes and the run wait on retries.
        if (i % 1024 == 1023) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return fds;
}

void PauseBetweenSamples() {
    static thread_local std::mt19937 rng(12345);
    std::uniform_int_distribution<int> us(100, 400);
    std::this_thread::sleep_for(std::chrono::microseconds(us(rng)));
}

}  // namespace bench
