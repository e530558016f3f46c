// Loopback servers and a recording host callback for the connection tests.
//
// TestServer runs in a frame of the test's own (not the default frame the
// connections live in). Each accepted connection either echoes (the default)
// or runs a script: a function that sees the bytes not yet consumed and says
// how many it took; it may answer, close, or switch the connection to echo
// ("tunnel"). Raw mode keeps accepted handles unread, for peers that stay
// silent or reset.
#ifndef VEMNET_TEST_CONN_HARNESS_H
#define VEMNET_TEST_CONN_HARNESS_H

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/frame_thread.h"
#include "tests/support/wait.h"
#include "vemnet/netconn.h"
#include "vemnet/sock.h"

namespace conn_harness {

struct ServerConn {
    int index = 0;
    ISock* sock = nullptr;         // test frame's thread only
    plat::socket_t raw = plat::kInvalidSocket;
    std::string received;          // every byte that came in
    std::string input;             // not yet taken by the script
    std::string backlog;           // echo output the socket had no room for
    bool tunnel = false;           // echo from now on
    bool closed = false;
    int step = 0;                  // free for scripts
    void Send(const std::string& bytes) {
        backlog += bytes;
        Flush();
    }
    void Flush() {
        while (sock && !backlog.empty()) {
            size_t n = backlog.size() < 65536 ? backlog.size() : 65536;
            if (!sock->Send(backlog.data(), unsigned(n))) return;
            backlog.erase(0, n);
        }
    }
    void Close() {
        if (sock) sock->Close();
        sock = nullptr;
        closed = true;
    }
};

class TestServer : public IAServerCallback {
public:
    // Returns the number of bytes of `in` it consumed; 0 waits for more.
    using Script = std::function<size_t(ServerConn&, const std::string& in)>;

    explicit TestServer(Script script = Script(), bool raw = false)
        : script_(std::move(script)), raw_(raw), server_(nullptr), port_(0) {
        frame_.RunSync([&] {
            server_ = CreateAsyncServer(this, 0, frame_.frame(), "127.0.0.1",
                                        SERVER_REUSEADDR | SERVER_NONBLOCKING);
            port_ = server_->GetLocalPort();
        });
    }
    ~TestServer() {
        frame_.RunSync([&] {
            if (server_) server_->Close();
            std::lock_guard<std::mutex> g(lock_);
            for (auto& c : conns_) {
                c->conn.Close();
                if (c->conn.raw != plat::kInvalidSocket) plat::CloseSocket(c->conn.raw);
            }
        });
    }
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int port() const { return port_; }
    // Bytes every later accepted connection is sent at once, before it
    // reads anything (a server that speaks first).
    void SetGreeting(const std::string& greeting) {
        std::lock_guard<std::mutex> g(lock_);
        greeting_ = greeting;
    }
    int Connections() {
        std::lock_guard<std::mutex> g(lock_);
        return int(conns_.size());
    }
    std::string Received(int i) {
        std::lock_guard<std::mutex> g(lock_);
        return i < int(conns_.size()) ? conns_[i]->conn.received : std::string();
    }
    bool Closed(int i) {
        std::lock_guard<std::mutex> g(lock_);
        return i < int(conns_.size()) && conns_[i]->conn.closed;
    }
    bool WaitConnections(int n, int ms = 5000) {
        return testing_support::WaitFor([&] { return Connections() >= n; }, ms);
    }
    bool WaitReceived(int i, size_t n, int ms = 5000) {
        return testing_support::WaitFor([&] { return Received(i).size() >= n; }, ms);
    }
    // Runs fn on the server's thread with connection i.
    void With(int i, const std::function<void(ServerConn&)>& fn) {
        frame_.RunSync([&] {
            std::lock_guard<std::mutex> g(lock_);
            if (i < int(conns_.size())) fn(conns_[i]->conn);
        });
    }
    void SendTo(int i, const std::string& bytes) {
        With(i, [&](ServerConn& c) { c.Send(bytes); });
    }
    // Offers connection i's unconsumed input to the script again (after the
    // test changed what the script waits for).
    void Pump(int i) {
        frame_.RunSync([&] {
            std::lock_guard<std::mutex> g(lock_);
            if (i < int(conns_.size())) conns_[i]->Run();
        });
    }
    // Closes an unread raw handle: with bytes pending the peer sees a reset.
    void CloseRaw(int i) {
        With(i, [&](ServerConn& c) {
            if (c.raw != plat::kInvalidSocket) plat::CloseSocket(c.raw);
            c.raw = plat::kInvalidSocket;
        });
    }

    void OnAccept(IAsyncSelector* frame, vemnet_socket_t s, unsigned, int) override {
        std::lock_guard<std::mutex> g(lock_);
        conns_.emplace_back(new Slot(this));
        Slot* slot = conns_.back().get();
        slot->conn.index = int(conns_.size()) - 1;
        slot->conn.tunnel = !script_;
        if (raw_) {
            slot->conn.raw = s;
            return;
        }
        slot->conn.sock = CreateAsyncServerSock(slot, s, frame);
        if (!greeting_.empty()) slot->conn.Send(greeting_);
    }

private:
    struct Slot : IASockCallback {
        explicit Slot(TestServer* s) : server(s) {}
        void OnConnect(int) override {}
        void OnClose() override { Gone(); }
        void OnError(int, const char*) override { Gone(); }
        void OnTimer() override {}
        void OnSent() override {
            std::lock_guard<std::mutex> g(server->lock_);
            conn.Flush();
        }
        unsigned OnData(const char* data, unsigned len) override {
            std::lock_guard<std::mutex> g(server->lock_);
            conn.received.append(data, len);
            conn.input.append(data, len);
            Run();
            return len;
        }
        void Run() {
            while (!conn.input.empty() && conn.sock) {
                if (conn.tunnel) {
                    std::string echo;
                    echo.swap(conn.input);
                    conn.Send(echo);
                    break;
                }
                size_t n = server->script_(conn, conn.input);
                if (n == 0) break;
                conn.input.erase(0, n);
            }
        }
        void Gone() {
            std::lock_guard<std::mutex> g(server->lock_);
            conn.sock = nullptr;
            conn.closed = true;
        }
        TestServer* server;
        ServerConn conn;
    };

    Script script_;
    bool raw_;
    testing_support::FrameThread frame_;
    IServerSock* server_;
    int port_;
    std::mutex lock_;
    std::vector<std::unique_ptr<Slot>> conns_;
    std::string greeting_;
};

// Offset just past the blank line of an HTTP request, or npos.
inline size_t RequestEnd(const std::string& in) {
    size_t p = in.find("\r\n\r\n");
    return p == std::string::npos ? p : p + 4;
}

// A CONNECT proxy that answers every request with the reply the function
// picks for (connection index, request text); an empty reply stays silent.
// A reply starting "HTTP/1.1 200" or "HTTP/1.0 200" opens the tunnel (echo).
inline TestServer::Script HttpProxyScript(std::function<std::string(int, const std::string&)> reply) {
    return [reply](ServerConn& c, const std::string& in) -> size_t {
        size_t end = RequestEnd(in);
        if (end == std::string::npos) return 0;
        std::string answer = reply(c.index, in.substr(0, end));
        if (answer.compare(0, 12, "HTTP/1.1 200") == 0 || answer.compare(0, 12, "HTTP/1.0 200") == 0)
            c.tunnel = true;
        if (!answer.empty()) c.Send(answer);
        return end;
    };
}

struct Event {
    char kind;   // 'C' OnConnect, 'E' OnError, 'X' OnClose, 'S' OnSent, 'T' OnTimeout
    int code;
    std::thread::id thread;
};

// The host: records every event and the payload it was given.
class Recorder : public VemNetwork::INetConnCallback {
public:
    void OnConnect(int result) override {
        // Hooks first: once a test sees the event, its hook has run.
        if (onConnect) onConnect(result);
        Add('C', result);
    }
    int OnData(const char* data, int length) override {
        int taken = length;
        if (onData) taken = onData(data, length);
        {
            std::lock_guard<std::mutex> g(lock_);
            offers_.push_back(std::string(data, length));
            if (taken > 0) data_.append(data, taken < length ? taken : length);
        }
        return taken;
    }
    void OnSent() override {
        if (onSent) onSent();
        Add('S', 0);
    }
    void OnTimeout() override { Add('T', 0); }
    void OnClose() override {
        if (onClose) onClose();
        Add('X', 0);
    }
    void OnError(int code) override {
        if (onError) onError(code);
        Add('E', code);
    }

    std::vector<Event> Events() {
        std::lock_guard<std::mutex> g(lock_);
        return events_;
    }
    // Events other than OnSent, as text: "C0", "E6", "X", "T".
    std::string Outcomes() {
        std::string s;
        for (const Event& e : Events()) {
            if (e.kind == 'S') continue;
            if (!s.empty()) s += ' ';
            s += e.kind;
            if (e.kind == 'C' || e.kind == 'E') s += std::to_string(e.code);
        }
        return s;
    }
    int Count(char kind) {
        int n = 0;
        for (const Event& e : Events()) n += e.kind == kind;
        return n;
    }
    bool WaitOutcome(int ms = 5000) {
        return testing_support::WaitFor([&] { return Count('C') + Count('E') + Count('X') > 0; }, ms);
    }
    bool WaitEvent(char kind, int ms = 5000) {
        return testing_support::WaitFor([&] { return Count(kind) > 0; }, ms);
    }
    std::string Data() {
        std::lock_guard<std::mutex> g(lock_);
        return data_;
    }
    std::vector<std::string> Offers() {
        std::lock_guard<std::mutex> g(lock_);
        return offers_;
    }
    bool WaitData(size_t n, int ms = 5000) {
        return testing_support::WaitFor([&] { return Data().size() >= n; }, ms);
    }

    std::function<void(int)> onConnect;
    std::function<int(const char*, int)> onData;
    std::function<void()> onSent;
    std::function<void()> onClose;
    std::function<void(int)> onError;

private:
    void Add(char kind, int code) {
        std::lock_guard<std::mutex> g(lock_);
        events_.push_back(Event{kind, code, std::this_thread::get_id()});
    }
    std::mutex lock_;
    std::vector<Event> events_;
    std::vector<std::string> offers_;
    std::string data_;
};

// The same transform both ways: XOR with one byte.
class XorCodec : public VemNetwork::INetCodec {
public:
    explicit XorCodec(char key = 0x5a) : key_(key) {}
    void Transform(char* out, const char* in, int length) override {
        for (int i = 0; i < length; ++i) out[i] = char(in[i] ^ key_);
    }
    std::string Apply(const std::string& s) const {
        std::string r = s;
        for (char& c : r) c = char(c ^ key_);
        return r;
    }

private:
    char key_;
};

// Bytes 0..255 repeated, offset by seed, so that a lost or moved byte shows.
inline std::string Pattern(size_t n, unsigned seed = 0) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 7 + seed + i / 251) & 0xff);
    return s;
}

// A port on 127.0.0.1 where nothing listens (bound once, then released).
inline int DeadPort() {
    plat::StartSockets();
    plat::socket_t s = plat::OpenSocket(true);
    plat::Bind(s, plat::ParseIPv4("127.0.0.1"), 0);
    uint32_t ip = 0;
    int port = 0;
    plat::GetSockName(s, &ip, &port);
    plat::CloseSocket(s);
    return port;
}

struct ConnDeleter {
    void operator()(VemNetwork::INetConn* c) const { delete c; }
};
using ConnPtr = std::unique_ptr<VemNetwork::INetConn, ConnDeleter>;

inline ConnPtr MakeConn(VemNetwork::INetConnCallback* cb, VemNetwork::INetCodec* codec = nullptr) {
    VemNetwork::INetConn* c = nullptr;
    CreateBaseConn(&c, cb, codec);
    return ConnPtr(c);
}

inline VemNetwork::ProxyInfo Proxy(int type, int port, const std::wstring& user = L"",
                                   const std::wstring& password = L"") {
    VemNetwork::ProxyInfo p;
    p.type = type;
    p.host = L"127.0.0.1";
    p.port = port;
    p.user = user;
    p.password = password;
    return p;
}

// Sends all of data, waiting for OnSent-driven room when the buffers are full.
inline bool SendAllOf(VemNetwork::INetConn* conn, const std::string& data, int ms = 20000) {
    size_t off = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (off < data.size()) {
        size_t n = data.size() - off < 16384 ? data.size() - off : 16384;
        int r = conn->Send(data.data() + off, int(n));
        if (r == 0) {
            off += n;
        } else if (r == 1) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace conn_harness

#endif
