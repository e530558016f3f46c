// What the vemnet-cat tests need around the program: where it is, payloads,
// and a loopback server of the test's own (threads and plain sockets, no
// library code), which echoes, swallows, holds or drops what comes in.
#ifndef VEMNET_TESTS_CAT_HARNESS_H
#define VEMNET_TESTS_CAT_HARNESS_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/child_process.h"
#include "tests/support/wait.h"

namespace cat_harness {

// build/tests/cat/cat_tests -> build/vemnet-cat
inline std::string CatPath() { return testing_support::BuildProgramPath("../../vemnet-cat"); }

#define REQUIRE_CAT()                                                                                   \
    if (!testing_support::FileExists(::cat_harness::CatPath())) {                                     \
        FAIL() << "no program at " << ::cat_harness::CatPath() << " (build the vemnet-cat target)"; \
    }

inline std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char(gen() & 0xff);
    return s;
}

// Index of the first difference, or -1 when equal (long payloads make poor
// failure messages).
inline long long FirstDifference(const std::string& a, const std::string& b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return (long long)i;
    }
    return a.size() == b.size() ? -1 : (long long)n;
}

#define EXPECT_SAME_BYTES(expected, actual)                                                      \
    EXPECT_EQ(-1, ::cat_harness::FirstDifference(expected, actual))                              \
        << "sizes " << (expected).size() << " and " << (actual).size() << "; first difference shown"

inline std::vector<std::string> Args(std::initializer_list<std::string> rest) {
    std::vector<std::string> v{CatPath()};
    v.insert(v.end(), rest.begin(), rest.end());
    return v;
}

class TestPeer {
public:
    enum Mode {
        kEcho,          // sends back what arrives
        kSink,          // keeps what arrives, sends nothing
        kSlowSink,      // the same, taking at most 8 KiB per millisecond
        kSilent,        // accepts and never reads
        kCloseAtOnce,   // closes every connection right after accepting it
    };

    // closeAfter > 0: an echo connection closes once it has echoed that many
    // bytes.
    explicit TestPeer(Mode mode, size_t closeAfter = 0) : mode_(mode), closeAfter_(closeAfter) {
        plat::StartSockets();
        listener_ = plat::OpenSocket(true);
        if (listener_ == plat::kInvalidSocket) return;
        if (plat::Bind(listener_, plat::ParseIPv4("127.0.0.1"), 0) != 0 || plat::Listen(listener_, 16) != 0 ||
            plat::GetSockName(listener_, nullptr, &port_) != 0 || plat::SetNonBlocking(listener_) != 0) {
            plat::CloseSocket(listener_);
            listener_ = plat::kInvalidSocket;
            return;
        }
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }

    ~TestPeer() {
        stop_ = true;
        if (acceptor_.joinable()) acceptor_.join();
        std::vector<std::thread> workers;
        {
            std::lock_guard<std::mutex> g(m_);
            workers.swap(workers_);
        }
        for (std::thread& t : workers) t.join();
        if (listener_ != plat::kInvalidSocket) plat::CloseSocket(listener_);
    }

    TestPeer(const TestPeer&) = delete;
    TestPeer& operator=(const TestPeer&) = delete;

    bool ok() const { return listener_ != plat::kInvalidSocket; }
    int port() const { return port_; }
    std::string Port() const { return std::to_string(port_); }

    int Connections() {
        std::lock_guard<std::mutex> g(m_);
        return int(received_.size());
    }
    std::string Received(int i = 0) {
        std::lock_guard<std::mutex> g(m_);
        return i < int(received_.size()) ? received_[size_t(i)] : std::string();
    }
    bool WaitReceived(size_t n, int ms, int i = 0) {
        return testing_support::WaitFor([&] { return Received(i).size() >= n; }, ms);
    }

private:
    void AcceptLoop() {
        while (!stop_) {
            plat::socket_t c = plat::Accept(listener_, nullptr, nullptr);
            if (c == plat::kInvalidSocket) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            std::lock_guard<std::mutex> g(m_);
            received_.emplace_back();
            size_t index = received_.size() - 1;
            workers_.emplace_back([this, c, index] { Serve(c, index); });
        }
    }

    void Serve(plat::socket_t c, size_t index) {
        plat::SetNonBlocking(c);
        if (mode_ == kCloseAtOnce) {
            plat::CloseSocket(c);
            return;
        }
        size_t echoed = 0;
        std::vector<char> buf(65536);
        while (!stop_) {
            if (mode_ == kSilent) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            int r = plat::Recv(c, buf.data(), mode_ == kSlowSink ? 8192 : int(buf.size()));
            // Taken at once: on Windows the sleep below may overwrite the
            // thread's last error, and a lost "would block" reads as a failure.
            int error = r < 0 ? plat::LastSocketError() : 0;
            if (mode_ == kSlowSink) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (r == 0) break;
            if (r < 0) {
                if (error != plat::kErrWouldBlock) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            {
                std::lock_guard<std::mutex> g(m_);
                received_[index].append(buf.data(), size_t(r));
            }
            if (mode_ != kEcho) continue;
            if (!SendAll(c, buf.data(), size_t(r))) break;
            echoed += size_t(r);
            if (closeAfter_ > 0 && echoed >= closeAfter_) break;
        }
        plat::CloseSocket(c);
    }

    bool SendAll(plat::socket_t c, const char* p, size_t n) {
        while (n > 0 && !stop_) {
            int r = plat::Send(c, p, int(n));
            if (r > 0) {
                p += r;
                n -= size_t(r);
                continue;
            }
            if (r < 0 && plat::LastSocketError() != plat::kErrWouldBlock) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return n == 0;
    }

    Mode mode_;
    size_t closeAfter_;
    plat::socket_t listener_ = plat::kInvalidSocket;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::mutex m_;
    std::vector<std::thread> workers_;
    std::vector<std::string> received_;
};

// A GET to 127.0.0.1:port; the reply's body, empty on failure.
inline std::string HttpGet(int port, const std::string& path) {
    plat::socket_t s = plat::OpenSocket(true);
    if (s == plat::kInvalidSocket) return std::string();
    std::string reply;
    if (plat::Connect(s, plat::ParseIPv4("127.0.0.1"), port) == 0) {
        std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (plat::Send(s, req.data(), int(req.size())) == int(req.size())) {
            char buf[16384];
            for (;;) {
                int r = plat::Recv(s, buf, sizeof buf);
                if (r <= 0) break;
                reply.append(buf, size_t(r));
            }
        }
    }
    plat::CloseSocket(s);
    size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : reply.substr(body + 4);
}

}  // namespace cat_harness

#endif
