// Helpers for the HTTP connection tests against the session server: a
// recording host callback, a transform, and the server's request log.
#ifndef VEMNET_TEST_HTTP_LIVE_SUPPORT_H
#define VEMNET_TEST_HTTP_LIVE_SUPPORT_H

#include <gtest/gtest.h>

#include "platform/platform.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>


#include <cctype>

#include "conn/auth/base64.h"
#include "frame/default_frame.h"
#include "tests/support/peer_env.h"
#include "tests/support/wait.h"
#include "vemnet/httpconn.h"

namespace http_live {

using Clock = std::chrono::steady_clock;

inline std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

inline std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = char(gen() & 0xFF);
    return s;
}

// ---- the host's callback ---------------------------------------------------

enum class Ev { Connect, Data, Sent, Timeout, Close, Error };

struct Event {
    Ev kind;
    int code;               // OnConnect / OnError
    std::string data;       // OnData: what was offered
    Clock::time_point at;
    bool onFrameThread;
};

class Recorder : public VemNetwork::INetConnCallback {
public:
    // Decides how many of the offered bytes are consumed; all by default.
    std::function<int(const char*, int)> consume;
    // Runs on the frame thread after an event was recorded.
    std::function<void(Ev)> after;

    void OnConnect(int result) override { Add(Ev::Connect, result, std::string()); }
    int OnData(const char* data, int length) override {
        int n = consume ? consume(data, length) : length;
        {
            std::lock_guard<std::mutex> g(m_);
            if (n > 0) received_.append(data, size_t(n));
        }
        Add(Ev::Data, n, std::string(data, size_t(length)));
        return n;
    }
    void OnSent() override { Add(Ev::Sent, 0, std::string()); }
    void OnTimeout() override { Add(Ev::Timeout, 0, std::string()); }
    void OnClose() override { Add(Ev::Close, 0, std::string()); }
    void OnError(int code) override { Add(Ev::Error, code, std::string()); }

    std::vector<Event> Events() {
        std::lock_guard<std::mutex> g(m_);
        return events_;
    }
    std::string Received() {
        std::lock_guard<std::mutex> g(m_);
        return received_;
    }
    size_t ReceivedSize() {
        std::lock_guard<std::mutex> g(m_);
        return received_.size();
    }
    int Count(Ev kind) {
        std::lock_guard<std::mutex> g(m_);
        int n = 0;
        for (const Event& e : events_) n += e.kind == kind;
        return n;
    }
    bool WaitCount(Ev kind, int n, int ms) {
        return testing_support::WaitFor([&] { return Count(kind) >= n; }, ms);
    }
    bool WaitReceived(size_t n, int ms) {
        return testing_support::WaitFor([&] { return ReceivedSize() >= n; }, ms);
    }
    // Every event came on the default frame's thread.
    bool AllOnFrameThread() {
        std::lock_guard<std::mutex> g(m_);
        for (const Event& e : events_) {
            if (!e.onFrameThread) return false;
        }
        return true;
    }

private:
    void Add(Ev kind, int code, std::string data) {
        BaseSelector* frame = GetDefaultFrame();
        Event e{kind, code, std::move(data), Clock::now(), frame && frame->InFrameThread()};
        {
            std::lock_guard<std::mutex> g(m_);
            events_.push_back(std::move(e));
        }
        if (after) after(kind);
    }

    std::mutex m_;
    std::vector<Event> events_;
    std::string received_;
};

// XOR with a rolling key; its own inverse, so the same object serves both
// ways as the host's transform does.
class XorCodec : public VemNetwork::INetCodec {
public:
    void Transform(char* out, const char* in, int length) override {
        for (int i = 0; i < length; ++i) out[i] = char(in[i] ^ char(0x5A + i * 13));
    }
    std::string Apply(const std::string& s) {
        std::string out(s.size(), '\0');
        Transform(&out[0], s.data(), int(s.size()));
        return out;
    }
};

// ---- the server's request log ------------------------------------------------

struct LoggedRequest {
    double time = 0;
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    std::string Header(const std::string& name) const {
        for (const auto& h : headers) {
            if (h.first.size() == name.size() &&
                std::equal(h.first.begin(), h.first.end(), name.begin(),
                           [](char a, char b) { return std::tolower(a) == std::tolower(b); })) {
                return h.second;
            }
        }
        return std::string();
    }
};

// Just enough JSON for the log: objects, arrays, strings, numbers.
class JsonReader {
public:
    explicit JsonReader(const std::string& text) : s_(text) {}

    std::vector<LoggedRequest> ReadLog() {
        std::vector<LoggedRequest> out;
        Expect('[');
        if (Peek() == ']') {
            ++p_;
            return out;
        }
        for (;;) {
            out.push_back(ReadRequest());
            if (Peek() == ',') {
                ++p_;
                continue;
            }
            Expect(']');
            return out;
        }
    }

private:
    LoggedRequest ReadRequest() {
        LoggedRequest r;
        Expect('{');
        for (;;) {
            std::string key = ReadString();
            Expect(':');
            if (key == "time") {
                r.time = ReadNumber();
            } else if (key == "method") {
                r.method = ReadString();
            } else if (key == "path") {
                r.path = ReadString();
            } else if (key == "body") {
                r.body = ReadString();
            } else if (key == "headers") {
                Expect('[');
                if (Peek() == ']') {
                    ++p_;
                } else {
                    for (;;) {
                        Expect('[');
                        std::string k = ReadString();
                        Expect(',');
                        std::string v = ReadString();
                        Expect(']');
                        r.headers.emplace_back(k, v);
                        if (Peek() == ',') {
                            ++p_;
                            continue;
                        }
                        Expect(']');
                        break;
                    }
                }
            } else {
                throw std::runtime_error("unknown key " + key);
            }
            if (Peek() == ',') {
                ++p_;
                continue;
            }
            Expect('}');
            return r;
        }
    }
    char Peek() {
        while (p_ < s_.size() && (s_[p_] == ' ' || s_[p_] == '\n' || s_[p_] == '\r' || s_[p_] == '\t')) ++p_;
        if (p_ >= s_.size()) throw std::runtime_error("json ends early");
        return s_[p_];
    }
    void Expect(char c) {
        if (Peek() != c) throw std::runtime_error(std::string("json: expected ") + c);
        ++p_;
    }
    double ReadNumber() {
        Peek();
        size_t used = 0;
        double v = std::stod(s_.substr(p_, 40), &used);
        p_ += used;
        return v;
    }
    // Latin-1 text as the server wrote it: \u00XX is one byte.
    std::string ReadString() {
        Expect('"');
        std::string out;
        while (p_ < s_.size() && s_[p_] != '"') {
            char c = s_[p_++];
            if (c != '\\') {
                out += c;
                continue;
            }
            char e = s_[p_++];
            switch (e) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                unsigned v = unsigned(std::stoul(s_.substr(p_, 4), nullptr, 16));
                p_ += 4;
                out += char(v & 0xFF);
                break;
            }
            default: out += e; break;
            }
        }
        Expect('"');
        return out;
    }

    const std::string& s_;
    size_t p_ = 0;
};

// Every request the server recorded whose path starts with prefix, oldest
// first. Fetched over a plain socket, so the Windows build needs no HTTP
// client of its own.
inline std::vector<LoggedRequest> ServerLog(int port, const std::string& prefix) {
    plat::StartSockets();
    plat::socket_t s = plat::OpenSocket(true);
    if (s == plat::kInvalidSocket) throw std::runtime_error("log fetch: no socket");
    if (plat::Connect(s, plat::ParseIPv4("127.0.0.1"), port) != 0) {
        plat::CloseSocket(s);
        throw std::runtime_error("log fetch: connect failed");
    }
    std::string req = "GET /_log?prefix=" + prefix + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    size_t sent = 0;
    while (sent < req.size()) {
        int r = plat::Send(s, req.data() + sent, int(req.size() - sent));
        if (r <= 0) break;
        sent += size_t(r);
    }
    std::string reply;
    char buf[16384];
    int r;
    while ((r = plat::Recv(s, buf, sizeof buf)) > 0) reply.append(buf, size_t(r));
    plat::CloseSocket(s);
    size_t body = reply.find("\r\n\r\n");
    if (sent != req.size() || body == std::string::npos || (reply.compare(0, 12, "HTTP/1.1 200") != 0 &&
                                                               reply.compare(0, 12, "HTTP/1.0 200") != 0)) {
        throw std::runtime_error("log fetch failed");
    }
    return JsonReader(reply.substr(body + 4)).ReadLog();
}

// The decoded data of a request body; its session in *session.
inline std::string BodyData(const std::string& body, std::string* session = nullptr) {
    const std::string head = "session=";
    if (body.compare(0, head.size(), head) != 0) throw std::runtime_error("not a session body: " + body);
    size_t amp = body.find('&');
    if (amp == std::string::npos || body.compare(amp + 1, 5, "data=") != 0) {
        throw std::runtime_error("no data field: " + body);
    }
    if (session) *session = body.substr(head.size(), amp - head.size());
    return Base64DecodeString(body.substr(amp + 6));
}

// A port on 127.0.0.1 that nothing listens on (bound, then released).
inline int ClosedPort() {
    plat::StartSockets();
    plat::socket_t s = plat::OpenSocket(true);
    int port = 0;
    uint32_t ip = 0;
    if (s != plat::kInvalidSocket && plat::Bind(s, plat::ParseIPv4("127.0.0.1"), 0) == 0) plat::GetSockName(s, &ip, &port);
    if (s != plat::kInvalidSocket) plat::CloseSocket(s);
    return port;
}

// A path prefix of the running test's own, e.g. "/t/Suite.Name.3".
inline std::string TestPrefix() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') c = '_';
    }
    static std::atomic<int> counter(0);
    return "/t/" + std::to_string(::getpid()) + "." + name + "." + std::to_string(counter.fetch_add(1));
}

// The session server's port; the fixture fails without it.
class LiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        port = testing_support::PeerPort("VEMNET_SESSION_SERVER_PORT");
        ASSERT_GT(port, 0) << "peer VEMNET_SESSION_SERVER_PORT is not running (run under tests/peers/with-peers.sh)";
        prefix = TestPrefix();
    }
    // The URL of this test's own path, with more path after it.
    std::wstring Url(const std::string& before = "", const std::string& after = "") const {
        return Wide("http://127.0.0.1:" + std::to_string(port) + before + prefix + after);
    }
    // The same server named "localhost": WinInet (wine's at least) pools
    // kept-alive connections by server name alone, so a proxied exchange to
    // a name a direct one used before would ride the direct connection.
    std::wstring UrlViaName() const {
        return Wide("http://localhost:" + std::to_string(port) + prefix);
    }
    std::vector<LoggedRequest> Log(const std::string& before = "") const { return ServerLog(port, before + prefix); }

    int port = 0;
    std::string prefix;
};

// The connection factory with the defaults the tests mostly want.
struct ConnSetup {
    std::wstring url;
    std::wstring verb = L"POST";
    int baseInterval = 50;
    int maxInterval = 200;
    std::wstring headers;
    VemNetwork::INetCodec* codec = nullptr;
};

inline VemNetwork::IHttpConn* MakeConn(Recorder* cb, const ConnSetup& setup) {
    VemNetwork::IHttpConn* conn = nullptr;
    CreateHttpConn(&conn, cb, setup.url, setup.verb, setup.baseInterval, setup.maxInterval, setup.headers,
                   std::map<std::wstring, std::wstring>(), std::string(), setup.codec);
    return conn;
}

}  // namespace http_live

#endif
