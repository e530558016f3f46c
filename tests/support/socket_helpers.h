// Raw loopback peers, byte streams and recording callbacks for tests of the
// async sockets. Portable: everything goes through the platform layer.
#ifndef VEMNET_TEST_SOCKET_HELPERS_H
#define VEMNET_TEST_SOCKET_HELPERS_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame/base_selector.h"
#include "platform/platform.h"
#include "tests/support/wait.h"
#include "tests/support/raw_sockets.h"
#include "vemnet/sock.h"

namespace testing_support {

inline uint32_t LoopbackIp() { return plat::ParseIPv4("127.0.0.1"); }

inline BaseSelector* AsBase(IAsyncSelector* frame) { return static_cast<BaseSelector*>(frame); }

// Byte i of test stream `seed`; shifts of whole blocks or single bytes both
// change what is seen.
inline char StreamByte(uint64_t i, uint32_t seed) {
    uint32_t x = uint32_t(i) * 2654435761u + seed * 40503u + uint32_t(i >> 13);
    return char((x >> 24) ^ (x >> 9));
}

inline std::string StreamBytes(uint64_t from, size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (size_t k = 0; k < n; ++k) s[k] = StreamByte(from + k, seed);
    return s;
}

// Index of the first byte of data that differs from the stream at offset
// `from`, or -1 when all match.
inline long long StreamMismatch(const char* data, size_t n, uint64_t from, uint32_t seed) {
    for (size_t k = 0; k < n; ++k) {
        if (data[k] != StreamByte(from + k, seed)) return (long long)k;
    }
    return -1;
}

// A listening socket of the test on 127.0.0.1 and a port of the system's
// choice. Non-blocking, so that no accept can hang a test.
class RawListener {
public:
    explicit RawListener(int backlog = 16) : sock_(plat::OpenSocket(true)), port_(0) {
        if (sock_ == plat::kInvalidSocket) return;
        if (plat::Bind(sock_, LoopbackIp(), 0) != 0 || plat::Listen(sock_, backlog) != 0 ||
            plat::GetSockName(sock_, nullptr, &port_) != 0 || plat::SetNonBlocking(sock_) != 0) {
            Close();
        }
    }
    ~RawListener() { Close(); }
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;

    bool ok() const { return sock_ != plat::kInvalidSocket; }
    int port() const { return port_; }
    plat::socket_t handle() const { return sock_; }

    // The next connection within ms, switched to blocking mode off; invalid
    // when none came.
    plat::socket_t Accept(int ms = 5000, uint32_t* ip = nullptr, int* port = nullptr) {
        plat::socket_t c = plat::kInvalidSocket;
        WaitFor([&] {
            c = plat::Accept(sock_, ip, port);
            return c != plat::kInvalidSocket;
        }, ms);
        return c;
    }

    void Close() {
        if (sock_ != plat::kInvalidSocket) plat::CloseSocket(sock_);
        sock_ = plat::kInvalidSocket;
    }

private:
    plat::socket_t sock_;
    int port_;
};

// A blocking TCP connection to 127.0.0.1:port; invalid on failure.
inline plat::socket_t RawConnect(int port) {
    plat::socket_t s = plat::OpenSocket(true);
    if (s == plat::kInvalidSocket) return s;
    if (plat::Connect(s, LoopbackIp(), port) != 0) {
        plat::CloseSocket(s);
        return plat::kInvalidSocket;
    }
    return s;
}

// Whether a connect to 127.0.0.1:port is answered: 1 connected, 0 refused,
// -1 no answer within ms. Never blocks longer than that.
inline int ConnectOutcome(int port, int ms = 2000) {
    plat::socket_t s = plat::OpenSocket(true);
    if (s == plat::kInvalidSocket) return -1;
    plat::SetNonBlocking(s);
    int result = -1;
    if (plat::Connect(s, LoopbackIp(), port) == 0) {
        result = 1;
    } else if (plat::LastSocketError() != plat::kErrWouldBlock) {
        result = 0;
    } else {
        WaitFor([&] {
            int code = 0;
            if (plat::GetPendingError(s, &code) != 0 || code != 0) {
                result = 0;
                return true;
            }
            if (testing_support::HasPeer(s)) {
                result = 1;
                return true;
            }
            return false;
        }, ms);
    }
    plat::CloseSocket(s);
    return result;
}

// A port on 127.0.0.1 where nothing listens (bound once, then released).
inline int UnusedPort() {
    plat::socket_t s = plat::OpenSocket(true);
    int port = 0;
    plat::Bind(s, LoopbackIp(), 0);
    plat::GetSockName(s, nullptr, &port);
    plat::CloseSocket(s);
    return port;
}

// Listeners on [::1] and on 127.0.0.1 at one port (the system's choice for
// the first; tried again when the second cannot have it); false when no
// such port was found.
inline bool ListenOnBothLoopbacks(int v6Backlog, int v4Backlog, plat::socket_t* v6, plat::socket_t* v4, int* port) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        *v6 = ListenIPv6Loopback(0, v6Backlog, port);
        if (*v6 == plat::kInvalidSocket) return false;
        *v4 = plat::OpenSocket(true);
        if (plat::Bind(*v4, LoopbackIp(), *port) == 0 && plat::Listen(*v4, v4Backlog) == 0) return true;
        plat::CloseSocket(*v4);
        plat::CloseSocket(*v6);
    }
    return false;
}

// Fills the accept queue of a listener with backlog 0 at address:port, so
// that further SYNs to it get no answer; the fillers are left in *fillers.
inline void FillAcceptQueue(const plat::NetAddress& address, int port, std::vector<plat::socket_t>* fillers) {
    for (int i = 0; i < 6; ++i) {
        plat::socket_t f = plat::OpenStreamSocket(address);
        plat::SetNonBlocking(f);
        plat::ConnectAddress(f, address, port);
        fillers->push_back(f);
    }
}

// Sends all of data on a socket of any mode; false on error or after ms.
inline bool SendAll(plat::socket_t s, const char* data, size_t n, int ms = 10000) {
    size_t done = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (done < n) {
        int chunk = int(std::min<size_t>(n - done, 65536));
        int r = plat::Send(s, data + done, chunk);
        if (r > 0) {
            done += size_t(r);
            continue;
        }
        if (r < 0 && plat::LastSocketError() != plat::kErrWouldBlock) return false;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Receives until *out holds n bytes, the peer closes, or ms pass. The socket
// is switched to non-blocking mode. Returns the receive's last result: >0 or
// -1 (would block / timed out), 0 when the peer closed, -2 on an error.
inline int RecvUpTo(plat::socket_t s, std::string* out, size_t n, int ms = 5000) {
    plat::SetNonBlocking(s);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[65536];
    int last = -1;
    while (out->size() < n) {
        int want = int(std::min<size_t>(sizeof buf, n - out->size()));
        int r = plat::Recv(s, buf, want);
        if (r > 0) {
            out->append(buf, size_t(r));
            last = r;
            continue;
        }
        if (r == 0) return 0;
        if (plat::LastSocketError() != plat::kErrWouldBlock) return -2;
        if (std::chrono::steady_clock::now() > end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return last;
}

// What a socket reported, in order, with the thread it was reported on.
struct SockEvent {
    enum Kind { Connect, Close, Error, Timer, Data, Sent };
    Kind kind;
    int value;          // the connect status, the error code, the data length
    std::string text;   // the error text
    std::thread::id thread;
};

// Records every callback. Data is consumed whole and kept unless onData says
// otherwise; `after` runs after each record (on the reporting thread), e.g.
// to Close the socket from inside a callback.
class RecordingCallback : public IASockCallback {
public:
    std::atomic<ISock*> sock{nullptr};
    std::function<unsigned(const char*, unsigned)> onData;
    std::function<void(SockEvent::Kind)> after;

    void OnConnect(int status) override { Record(SockEvent::Connect, status); }
    void OnClose() override { Record(SockEvent::Close, 0); }
    void OnError(int code, const char* text) override { Record(SockEvent::Error, code, text ? text : ""); }
    void OnTimer() override { Record(SockEvent::Timer, 0); }
    unsigned OnData(const char* data, unsigned len) override {
        unsigned consumed = len;
        if (onData) consumed = onData(data, len);
        {
            std::lock_guard<std::mutex> g(m_);
            received_.append(data, std::min(consumed, len));
        }
        Record(SockEvent::Data, int(len));
        return consumed;
    }
    void OnSent() override { Record(SockEvent::Sent, 0); }

    std::vector<SockEvent> Events() {
        std::lock_guard<std::mutex> g(m_);
        return events_;
    }
    size_t Count(SockEvent::Kind kind) {
        std::lock_guard<std::mutex> g(m_);
        size_t n = 0;
        for (const SockEvent& e : events_) n += e.kind == kind;
        return n;
    }
    size_t Total() {
        std::lock_guard<std::mutex> g(m_);
        return events_.size();
    }
    bool WaitCount(SockEvent::Kind kind, size_t n, int ms = 5000) {
        return WaitFor([&] { return Count(kind) >= n; }, ms);
    }
    std::string Received() {
        std::lock_guard<std::mutex> g(m_);
        return received_;
    }

private:
    void Record(SockEvent::Kind kind, int value, const std::string& text = std::string()) {
        {
            std::lock_guard<std::mutex> g(m_);
            events_.push_back(SockEvent{kind, value, text, std::this_thread::get_id()});
        }
        if (after) after(kind);
    }

    std::mutex m_;
    std::vector<SockEvent> events_;
    std::string received_;
};

// Calls a socket factory with the frame's lock held and stores the result in
// cb.sock before any event of the socket can be dispatched. Not for blocking
// connects (timeout <= 0), which must not hold the lock.
inline ISock* CreateClient(RecordingCallback* cb, const char* host, int port, int timeout, IAsyncSelector* frame) {
    FrameGuard guard(AsBase(frame));
    ISock* s = CreateAsyncTcpSock(cb, host, port, timeout, frame);
    cb->sock = s;
    return s;
}

}  // namespace testing_support

#endif
