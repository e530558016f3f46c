// vemnet-connect-stall: how long an established connection waits while
// another connection of the same process is in a blocking connect.
//
//   vemnet-connect-stall [--block-ms 2000] [--pac 1]
//
// One TcpNetConn echoes 64-byte messages through a loopback echo server;
// meanwhile a host thread calls Connect with timeout 0 (a blocking connect)
// to a listener whose accept queue is full, and which only starts accepting
// after --block-ms. With --pac 1 the Connect asks for the system proxy
// instead (type 5), and http_proxy names a proxy auto-config script on a
// server that accepts and never answers: the Connect waits for the answer
// until the library's limit. Prints one RESULT line: the worst and the
// median round trip during the Connect, how many round trips there were,
// and how long the Connect took. The goal for the worst round trip is below
// 50 ms.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vemnet/netconn.h"

namespace {

using Clock = std::chrono::steady_clock;
const int kMessage = 64;

int ListenOn(int backlog, int* port) {
    int l = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(l, backlog);
    socklen_t n = sizeof a;
    getsockname(l, reinterpret_cast<sockaddr*>(&a), &n);
    *port = ntohs(a.sin_port);
    return l;
}

void ConnectNonBlocking(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    fcntl(s, F_SETFL, O_NONBLOCK);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    // Left open until the process ends: it keeps the accept queue full.
}

// Echoes one accepted connection until it closes.
void EchoServer(int listener) {
    int c = accept(listener, nullptr, nullptr);
    char buf[4096];
    for (;;) {
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n <= 0) break;
        send(c, buf, size_t(n), 0);
    }
    close(c);
}

class Host : public VemNetwork::INetConnCallback {
public:
    void OnConnect(int result) override { connected = result == 0 ? 1 : -1; }
    int OnData(const char*, int length) override {
        received += length;
        return length;
    }
    void OnSent() override {}
    void OnTimeout() override {}
    void OnClose() override {}
    void OnError(int) override { connected = -1; }
    std::atomic<int> connected{0};
    std::atomic<long long> received{0};
};

bool WaitUntil(const std::atomic<long long>& value, long long target, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (value < target) {
        if (Clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int blockMs = 2000;
    bool pac = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--block-ms") == 0) blockMs = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--pac") == 0) pac = std::atoi(argv[i + 1]) != 0;
    }

    int echoPort = 0;
    int echoListener = ListenOn(16, &echoPort);
    std::thread echo(EchoServer, echoListener);

    Host host;
    VemNetwork::INetConn* conn = nullptr;
    CreateBaseConn(&conn, &host, nullptr);
    conn->Connect(L"127.0.0.1", echoPort, 5000, nullptr);
    while (host.connected == 0) std::this_thread::yield();
    if (host.connected < 0) {
        std::printf("RESULT bench=connect-stall ok=0 error=echo-connect\n");
        return 1;
    }

    // A listener that takes nothing in until blockMs: a connect to it waits
    // for the system's SYN retransmission. As the script's server it takes
    // connections in at once, reads nothing and never answers.
    int slowPort = 0;
    int slowListener = ListenOn(pac ? 16 : 0, &slowPort);
    if (pac) {
        const std::string script = "pac+http://127.0.0.1:" + std::to_string(slowPort) + "/proxy.pac";
        setenv("http_proxy", script.c_str(), 1);
    } else {
        for (int i = 0; i < 4; ++i) ConnectNonBlocking(slowPort);
    }
    std::atomic<bool> stopDrain(false);
    std::thread drainer([&] {
        const auto start = Clock::now() + std::chrono::milliseconds(pac ? 0 : blockMs);
        while (Clock::now() < start && !stopDrain) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        fcntl(slowListener, F_SETFL, O_NONBLOCK);
        while (!stopDrain) {
            if (accept(slowListener, nullptr, nullptr) < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    Host blockedHost;
    VemNetwork::INetConn* blocked = nullptr;
    CreateBaseConn(&blocked, &blockedHost, nullptr);
    std::atomic<bool> returned(false);
    double blockedSec = 0;
    std::thread connecting([&] {
        const auto t0 = Clock::now();
        VemNetwork::ProxyInfo system;
        system.type = VemNetwork::PROXY_SYSTEM;
        blocked->Connect(L"127.0.0.1", slowPort, pac ? 5000 : 0, pac ? &system : nullptr);
        blockedSec = std::chrono::duration<double>(Clock::now() - t0).count();
        returned = true;
    });

    std::vector<double> rtts;
    const std::string message(kMessage, 'm');
    long long expected = host.received;
    bool ok = true;
    while (!returned) {
        const auto t0 = Clock::now();
        if (conn->Send(message.data(), kMessage) != 0) {
            ok = false;
            break;
        }
        expected += kMessage;
        if (!WaitUntil(host.received, expected, 30000)) {
            ok = false;
            break;
        }
        rtts.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    connecting.join();
    stopDrain = true;
    drainer.join();

    std::sort(rtts.begin(), rtts.end());
    const double worst = rtts.empty() ? 0 : rtts.back();
    const double median = rtts.empty() ? 0 : rtts[rtts.size() / 2];
    std::printf("RESULT bench=%s ok=%d rounds=%zu worst_ms=%.3f median_ms=%.3f "
                "connect_blocked_s=%.3f goal_worst_ms=50\n",
                pac ? "pac-stall" : "connect-stall", ok && !rtts.empty() ? 1 : 0, rtts.size(), worst, median, blockedSec);
    delete blocked;
    delete conn;
    shutdown(echoListener, SHUT_RDWR);
    echo.detach();
    return ok ? 0 : 1;
}
