// vemnet-cat: a netcat over the library's connections. Standard input goes
// to the connection, the connection goes to standard output.
//
// Threads:
//   main     parses the command line, connects, and waits for the outcome
//            (every wait has a deadline);
//   reader   reads standard input and hands it to the connection;
//   frame    the library's default frame thread, which runs every callback
//            below. Callbacks write standard output themselves: this tool is
//            the only user of the frame, and a stdout that does not drain is
//            exactly when the connection should stop reading.
//
// One mutex (Shared::m) guards the state the three share. It is never held
// while calling into the library from the reader or main thread: the frame
// thread takes it inside its own lock, so holding it across a call that takes
// the frame lock would deadlock.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#  include <fcntl.h>
#  include <io.h>
#else
#  include <cerrno>
#  include <csignal>
#  include <unistd.h>
#endif

#include <vemnet/vemnet.h>

#include "cat/library_log.h"
#include "cat/options.h"

using namespace VemNetwork;
using vemcat::Options;
using Clock = std::chrono::steady_clock;

namespace {

Options g_options;

// ---- messages ---------------------------------------------------------------

void Print(const char* fmt, va_list ap) {
    char line[1024];
    std::vsnprintf(line, sizeof line, fmt, ap);
    std::fprintf(stderr, "vemnet-cat: %s\n", line);
}

// Always shown.
void Say(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    Print(fmt, ap);
    va_end(ap);
}

// Shown with -v.
void Note(const char* fmt, ...) {
    if (!g_options.verbose) return;
    va_list ap;
    va_start(ap, fmt);
    Print(fmt, ap);
    va_end(ap);
}

// ---- standard input and output, unbuffered --------------------------------

// Bytes read, 0 at the end, -1 on failure.
int ReadStdin(char* buf, int len) {
    for (;;) {
#if defined(_WIN32)
        int r = _read(0, buf, unsigned(len));
#else
        ssize_t r = read(0, buf, size_t(len));
        if (r < 0 && errno == EINTR) continue;
#endif
        return int(r);
    }
}

bool WriteStdout(const char* data, size_t len) {
    while (len > 0) {
        size_t chunk = len > (1u << 20) ? (1u << 20) : len;
#if defined(_WIN32)
        int r = _write(1, data, unsigned(chunk));
#else
        ssize_t r = write(1, data, chunk);
        if (r < 0 && errno == EINTR) continue;
#endif
        if (r <= 0) return false;
        data += r;
        len -= size_t(r);
    }
    return true;
}

// Ends the process without running static destructors: the library's frame
// thread may still be inside a callback, and nothing is left to flush (all
// output is unbuffered).
[[noreturn]] void Exit(int code) {
    std::fflush(stderr);
    std::_Exit(code);
}

// ---- the state the threads share --------------------------------------------

struct Shared {
    std::mutex m;
    std::condition_variable cv;
    bool connected = false;
    bool finished = false;
    int code = 0;
    std::string message;
    uint64_t sentEvents = 0;         // OnSent calls so far
    Clock::time_point lastProgress;  // the last time the peer took or gave bytes
    Clock::time_point lastData;      // the last time bytes arrived
    uint64_t bytesIn = 0;
    uint64_t bytesOut = 0;

    // The first outcome wins; later ones (a close after an error) are noise.
    void Finish(int c, const std::string& text) {
        std::lock_guard<std::mutex> g(m);
        if (!finished) {
            finished = true;
            code = c;
            message = text;
        }
        cv.notify_all();
    }
};

Shared g_shared;

std::string Format(const char* fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    return text;
}

// Received bytes, from either kind of callback.
void Deliver(const char* data, size_t len) {
    if (len == 0) return;
    if (!WriteStdout(data, len)) {
        g_shared.Finish(vemcat::kExitLocal, "cannot write to standard output");
        return;
    }
    {
        std::lock_guard<std::mutex> g(g_shared.m);
        g_shared.bytesIn += len;
        g_shared.lastProgress = g_shared.lastData = Clock::now();
        g_shared.cv.notify_all();
    }
    Note("received %u bytes", unsigned(len));
}

// ---- the two ways bytes leave ----------------------------------------------

class Channel {
public:
    enum Result { kOk, kGone, kTimedOut };
    virtual ~Channel() {}
    // Hands all of data to the connection, waiting while it is full.
    virtual Result Write(const char* data, size_t len) = 0;
    // Returns once everything handed over has left for the network.
    virtual Result Flush() = 0;
    virtual size_t ChunkSize() const = 0;
};

// A library connection (TCP or HTTP). The reader thread calls Send itself:
// connections take the frame lock on every call.
class ConnChannel : public Channel {
public:
    ConnChannel(INetConn* conn, bool http) : conn_(conn), http_(http) {}

    // HTTP messages go one per worker cycle (OnSent comes once per cycle):
    // each carries at most this much, and its reply fits the receive buffer
    // however the cycles fall.
    size_t ChunkSize() const override { return http_ ? 24576 : 65536; }

    Result Write(const char* data, size_t len) override {
        size_t off = 0;
        while (off < len) {
            size_t n = len - off < ChunkSize() ? len - off : ChunkSize();
            uint64_t seen;
            {
                std::unique_lock<std::mutex> g(g_shared.m);
                if (http_ && messages_ > 0) {
                    if (!WaitFor(g, [&] { return g_shared.sentEvents != lastMessageSeen_; })) return kTimedOut;
                }
                if (g_shared.finished) return kGone;
                seen = g_shared.sentEvents;
            }
            int r = conn_->Send(data + off, int(n));
            if (r == NETCONN_OK) {
                off += n;
                ++messages_;
                lastMessageSeen_ = seen;
                std::lock_guard<std::mutex> g(g_shared.m);
                g_shared.bytesOut += n;
                Note("sent %u bytes", unsigned(n));
                continue;
            }
            if (r != NETCONN_FULL) return kGone;
            // Full: the OnSent that follows a drained queue lets it go on.
            std::unique_lock<std::mutex> g(g_shared.m);
            if (!WaitFor(g, [&] { return g_shared.sentEvents != seen; })) return kTimedOut;
            if (g_shared.finished) return kGone;
        }
        return kOk;
    }

    Result Flush() override {
        uint64_t before;
        {
            std::lock_guard<std::mutex> g(g_shared.m);
            if (g_shared.finished) return kGone;
            before = g_shared.sentEvents;
        }
        // An empty Send asks for one more OnSent. It comes only after the
        // queue has drained, so it also covers every byte sent before it.
        // HTTP reports once per worker cycle, and the cycle under way may
        // have started before the last message was queued: the second
        // report after this point is the one that covers it.
        if (conn_->Send(nullptr, 0) != NETCONN_OK) return kGone;
        const uint64_t needed = before + (http_ ? 2 : 1);
        std::unique_lock<std::mutex> g(g_shared.m);
        if (!WaitFor(g, [&] { return g_shared.sentEvents >= needed; })) return kTimedOut;
        return g_shared.finished ? kGone : kOk;
    }

private:
    // Waits for cond (or the end), giving up when the peer has neither taken
    // nor given anything for the time limit.
    template <class Cond>
    bool WaitFor(std::unique_lock<std::mutex>& g, Cond cond) {
        const auto limit = std::chrono::milliseconds(Limit());
        const auto start = Clock::now();
        for (;;) {
            if (cond() || g_shared.finished) return true;
            auto deadline = (g_shared.lastProgress > start ? g_shared.lastProgress : start) + limit;
            if (Clock::now() >= deadline) return cond() || g_shared.finished;
            g_shared.cv.wait_until(g, deadline);
        }
    }

    int Limit() const {
        // An HTTP message waits for a worker cycle: a sleep of up to MAX and
        // an exchange, which the request engine bounds by 10 s per step.
        return http_ ? g_options.timeout + 2 * g_options.pollMax + 25000 : g_options.timeout;
    }

    INetConn* conn_;
    bool http_;
    uint64_t messages_ = 0;
    uint64_t lastMessageSeen_ = 0;
};

// The accepted socket of --listen. A socket deletes itself right after
// OnClose or OnError, on the frame thread, so only the frame thread may
// touch it: the reader queues bytes here and a task on the frame moves them
// into the socket.
class SockChannel : public Channel, public IASockCallback {
public:
    size_t ChunkSize() const override { return 65536; }

    void Attach(ISock* sock) {
        std::lock_guard<std::mutex> g(g_shared.m);
        sock_ = sock;
    }

    Result Write(const char* data, size_t len) override {
        std::unique_lock<std::mutex> g(g_shared.m);
        if (!WaitFor(g, [&] { return queue_.size() - head_ < kQueueLimit; })) return kTimedOut;
        if (g_shared.finished || !sock_) return kGone;
        if (head_ > 0 && head_ == queue_.size()) {
            queue_.clear();
            head_ = 0;
        }
        queue_.append(data, len);
        bool post = !pumpPosted_;
        pumpPosted_ = true;
        g.unlock();
        if (post) PostPump();
        return kOk;
    }

    Result Flush() override {
        std::unique_lock<std::mutex> g(g_shared.m);
        if (g_shared.finished || !sock_) return kGone;
        flushWanted_ = true;
        bool post = !pumpPosted_;
        pumpPosted_ = true;
        g.unlock();
        if (post) PostPump();
        g.lock();
        if (!WaitFor(g, [&] { return flushed_; })) return kTimedOut;
        return flushed_ ? kOk : kGone;
    }

    // Frame thread: moves queued bytes into the socket while it takes them.
    void Pump() {
        std::lock_guard<std::mutex> g(g_shared.m);
        pumpPosted_ = false;
        if (!sock_) return;
        bool moved = false;
        while (head_ < queue_.size()) {
            size_t n = queue_.size() - head_;
            if (n > 65536) n = 65536;
            if (!sock_->Send(queue_.data() + head_, unsigned(n))) break;   // OnSent pumps again
            head_ += n;
            g_shared.bytesOut += n;
            moved = true;
            Note("sent %u bytes", unsigned(n));
        }
        if (head_ == queue_.size() && head_ > 65536 * 4) {
            queue_.clear();
            head_ = 0;
        }
        if (head_ == queue_.size() && flushWanted_ && !flushKicked_) {
            // Everything is in the socket now; an empty Send asks for the
            // OnSent that tells it has gone out.
            flushKicked_ = true;
            sock_->Send(nullptr, 0);
        }
        if (moved) g_shared.lastProgress = Clock::now();
        g_shared.cv.notify_all();
    }

    // IASockCallback, on the frame thread.
    void OnConnect(int) override {}
    void OnClose() override {
        Forget();
        Note("the peer closed the connection");
        g_shared.Finish(vemcat::kExitOk, "");
    }
    void OnError(int code, const char* text) override {
        Forget();
        g_shared.Finish(vemcat::kExitConnError, Format("connection error %d: %s", code, text ? text : ""));
    }
    void OnTimer() override {}
    unsigned OnData(const char* data, unsigned len) override {
        Deliver(data, len);
        return len;
    }
    void OnSent() override {
        {
            std::lock_guard<std::mutex> g(g_shared.m);
            ++g_shared.sentEvents;
            g_shared.lastProgress = Clock::now();
            if (flushKicked_ && head_ == queue_.size()) flushed_ = true;
        }
        Pump();
    }

private:
    class PumpTask : public INetTask {
    public:
        explicit PumpTask(SockChannel* ch) : ch_(ch) {}
        void Run() override { ch_->Pump(); }
        void OnError(int, const char*) override {}

    private:
        SockChannel* ch_;
    };

    void PostPump() {
        if (!AddAsyncNetTask(new PumpTask(this), 0, nullptr)) {
            g_shared.Finish(vemcat::kExitLocal, "the library has no frame to run on");
        }
    }

    void Forget() {
        std::lock_guard<std::mutex> g(g_shared.m);
        sock_ = nullptr;
        g_shared.cv.notify_all();
    }

    template <class Cond>
    bool WaitFor(std::unique_lock<std::mutex>& g, Cond cond) {
        const auto limit = std::chrono::milliseconds(g_options.timeout);
        const auto start = Clock::now();
        for (;;) {
            if (cond() || g_shared.finished || !sock_) return true;
            auto deadline = (g_shared.lastProgress > start ? g_shared.lastProgress : start) + limit;
            if (Clock::now() >= deadline) return cond() || g_shared.finished || !sock_;
            g_shared.cv.wait_until(g, deadline);
        }
    }

    static const size_t kQueueLimit = 1u << 20;
    ISock* sock_ = nullptr;   // frame thread, or under g_shared.m
    std::string queue_;
    size_t head_ = 0;
    bool pumpPosted_ = false;
    bool flushWanted_ = false;
    bool flushKicked_ = false;
    bool flushed_ = false;
};

// ---- standard input to the channel -------------------------------------------

void ReadLoop(Channel* channel) {
    std::vector<char> buf(channel->ChunkSize());
    for (;;) {
        int n = ReadStdin(buf.data(), int(buf.size()));
        if (n < 0) {
            g_shared.Finish(vemcat::kExitLocal, "cannot read standard input");
            return;
        }
        if (n == 0) break;
        Channel::Result r = channel->Write(buf.data(), size_t(n));
        if (r == Channel::kTimedOut) {
            g_shared.Finish(vemcat::kExitTimeout,
                            Format("timed out: the peer took no data for %d ms", g_options.timeout));
            return;
        }
        if (r == Channel::kGone) return;
    }
    Note("end of standard input: sending what is queued");
    Channel::Result r = channel->Flush();
    if (r == Channel::kTimedOut) {
        g_shared.Finish(vemcat::kExitTimeout, Format("timed out sending the last bytes (%d ms)", g_options.timeout));
        return;
    }
    if (r == Channel::kGone) return;
    Note("everything sent");
    if (g_options.wait > 0) {
        // Keep receiving until the peer closes or stays silent long enough.
        std::unique_lock<std::mutex> g(g_shared.m);
        const auto quiet = std::chrono::milliseconds(g_options.wait);
        const auto flushed = Clock::now();
        while (!g_shared.finished) {
            auto deadline = (g_shared.lastData > flushed ? g_shared.lastData : flushed) + quiet;
            if (Clock::now() >= deadline) break;
            g_shared.cv.wait_until(g, deadline);
        }
        if (g_shared.finished) return;
        g.unlock();
        Note("the peer was silent for %d ms", g_options.wait);
    }
    g_shared.Finish(vemcat::kExitOk, "");
}

void StartReader(Channel* channel) {
    {
        std::lock_guard<std::mutex> g(g_shared.m);
        g_shared.lastProgress = Clock::now();
    }
    // Detached: it may sit in a read of a terminal when the peer closes.
    std::thread(ReadLoop, channel).detach();
}

// Waits for the outcome and ends the process with it.
[[noreturn]] void Conclude() {
    std::unique_lock<std::mutex> g(g_shared.m);
    g_shared.cv.wait(g, [] { return g_shared.finished; });
    int code = g_shared.code;
    std::string message = g_shared.message;
    unsigned long long in = g_shared.bytesIn, out = g_shared.bytesOut;
    g.unlock();
    if (!message.empty()) Say("%s", message.c_str());
    Note("%llu bytes sent, %llu bytes received; exit code %d", out, in, code);
    Exit(code);
}

// Waits at most ms for the connection to come up.
bool WaitConnected(int ms) {
    std::unique_lock<std::mutex> g(g_shared.m);
    return g_shared.cv.wait_for(g, std::chrono::milliseconds(ms),
                                [] { return g_shared.connected || g_shared.finished; });
}

// ---- client ---------------------------------------------------------------------

std::string Target() { return g_options.host + ":" + std::to_string(g_options.port); }

// The record handed to a type-5 Connect; read from OnConnect on.
ProxyInfo* g_systemRecord = nullptr;

class ConnSession : public INetConnCallback {
public:
    void OnConnect(int result) override {
        if (result == NETCONN_OK) {
            if (g_options.http) {
                Note("HTTP session started with %s (the first exchange follows)", Target().c_str());
            } else if (g_options.autoClimb) {
                Note("connected to %s (the library's lines above name the way that won)", Target().c_str());
            } else if (g_systemRecord && g_systemRecord->type == PROXY_SYSTEM) {
                Note("the system proxy setting names no proxy: connected to %s directly", Target().c_str());
            } else if (g_systemRecord) {
                Note("the system proxy setting gives %s: tunnel to %s open",
                     vemcat::DescribeProxy(*g_systemRecord).c_str(), Target().c_str());
            } else if (g_options.hasProxy) {
                Note("tunnel to %s open", Target().c_str());
            } else {
                Note("connected to %s", Target().c_str());
            }
            std::lock_guard<std::mutex> g(g_shared.m);
            g_shared.connected = true;
            g_shared.cv.notify_all();
            return;
        }
        if (result == NETCONN_EVENT_CONNECT_FAILED) {
            g_shared.Finish(vemcat::kExitNoConnect,
                            g_options.hasProxy
                                ? Format("could not connect to %s through %s (connect failed, or the proxy "
                                         "did not answer in time)",
                                         Target().c_str(), vemcat::DescribeProxy(g_options.proxy).c_str())
                                : Format("could not connect to %s", Target().c_str()));
        } else if (result == NETCONN_EVENT_UNSUPPORTED_PROXY) {
            g_shared.Finish(vemcat::kExitUnsupportedProxy,
                            Format("proxy kind %d is not supported (1 to 4 are)", g_options.proxy.type));
        } else {
            g_shared.Finish(vemcat::kExitConnError, Format("connect failed with result %d", result));
        }
    }

    int OnData(const char* data, int length) override {
        if (length <= 0) return 0;
        Deliver(data, size_t(length));
        return length;
    }

    void OnSent() override {
        std::lock_guard<std::mutex> g(g_shared.m);
        ++g_shared.sentEvents;
        g_shared.lastProgress = Clock::now();
        g_shared.cv.notify_all();
    }

    void OnTimeout() override {
        // Only HTTP connections report it here (the watchdog armed by
        // Connect); the exchanges themselves have limits of their own.
        Note("no new event for %d ms", g_options.timeout);
    }

    void OnClose() override {
        Note("the peer closed the connection");
        g_shared.Finish(vemcat::kExitOk, "");
    }

    void OnError(int code) override {
        if (code == NETCONN_EVENT_HANDSHAKE_FAILED) {
            g_shared.Finish(vemcat::kExitProxyFailed,
                            g_options.http
                                ? std::string("the server or proxy refused the request: a status other than "
                                              "200 (error 6)")
                                : Format("proxy handshake or authentication failed with %s (error 6)",
                                         vemcat::DescribeProxy(g_options.proxy).c_str()));
            return;
        }
        const char* meaning = "";
        if (g_options.http) {
            meaning = code == 2   ? ": the HTTP client could not be set up"
                      : code == 3 ? ": the HTTP request was in the wrong state"
                      : code == 4 ? ": the HTTP request timed out"
                                  : ": the HTTP request failed (is the server there?)";
        }
        g_shared.Finish(vemcat::kExitConnError, Format("connection error %d%s", code, meaning));
    }
};

[[noreturn]] void RunClient() {
    static ConnSession session;
    INetConn* conn = nullptr;
    if (g_options.http) {
        std::wstring headers;
        for (const std::string& h : g_options.headers) {
            if (!headers.empty()) headers += L"\r\n";
            headers += vemcat::Widen(h);
        }
        IHttpConn* http = nullptr;
        CreateHttpConn(&http, &session, vemcat::Widen(g_options.url), vemcat::Widen(g_options.verb),
                       g_options.pollBase, g_options.pollMax, headers, std::map<std::wstring, std::wstring>(),
                       std::string(), nullptr);
        conn = http;
    } else if (g_options.autoClimb) {
        CreateAutoConn(&conn, &session, nullptr, vemcat::Widen(g_options.url).c_str());
    } else {
        CreateBaseConn(&conn, &session, nullptr);
    }
    if (!conn) {
        Say("the library could not create a connection");
        Exit(vemcat::kExitLocal);
    }

    // Connect may rewrite the record (the system setting's first entry).
    ProxyInfo proxy = g_options.proxy;
    ProxyInfo* proxyArg = g_options.hasProxy ? &proxy : nullptr;
    if (g_options.http) {
        Note("HTTP polling to %s, path of %s%s%s", Target().c_str(), g_options.url.c_str(),
             g_options.hasProxy ? ", through " : "",
             g_options.hasProxy ? vemcat::DescribeProxy(proxy).c_str() : "");
    } else if (g_options.autoClimb) {
        Note("climbing to %s: direct, then %s, then HTTP through %s", Target().c_str(),
             g_options.hasProxy ? vemcat::DescribeProxy(proxy).c_str() : "the system's proxy",
             g_options.url.empty() ? "(no URL)" : g_options.url.c_str());
    } else if (g_options.hasProxy) {
        Note("connecting to %s through %s", Target().c_str(), vemcat::DescribeProxy(proxy).c_str());
    } else {
        Note("connecting to %s", Target().c_str());
    }
    // The record of a type-5 Connect is the library's until the outcome:
    // OnConnect reads which candidate carried the connection.
    if (g_options.hasProxy && g_options.proxy.type == PROXY_SYSTEM && !g_options.http && !g_options.autoClimb)
        g_systemRecord = &proxy;
    int r = conn->Connect(vemcat::Widen(g_options.host), g_options.port, g_options.timeout, proxyArg);
    if (r != NETCONN_OK) {
        if (g_options.http) {
            Say("could not start the HTTP session (result %d)", r);
            Exit(vemcat::kExitLocal);
        }
        Say("could not connect to %s%s: no connection could be started (the name does not resolve, or the "
            "connect failed at once)",
            g_options.hasProxy ? "the proxy for " : "", Target().c_str());
        Exit(vemcat::kExitNoConnect);
    }
    if (g_options.hasProxy && !g_options.http && !g_options.autoClimb)
        Note("proxy handshake with %s", vemcat::DescribeProxy(g_options.proxy).c_str());

    // The library reports every failure to connect; this only bounds a
    // report that never comes. A proxy may take a connect, a handshake and a
    // second connect (after a 407), each with the time limit, and the system
    // setting may list several proxies.
    int limit = g_options.timeout * (g_options.proxy.type == PROXY_SYSTEM ? 6 : 3) + 5000;
    if (!WaitConnected(limit)) {
        g_shared.Finish(vemcat::kExitTimeout, Format("timed out connecting to %s", Target().c_str()));
        Conclude();
    }
    static ConnChannel channel(conn, g_options.http);
    bool go;
    {
        std::lock_guard<std::mutex> g(g_shared.m);
        go = !g_shared.finished;
    }
    if (go) StartReader(&channel);
    Conclude();
}

// ---- server -------------------------------------------------------------------

class Listener : public IAServerCallback {
public:
    SockChannel channel;

    void SetServer(IServerSock* server) {
        bool closeNow;
        {
            std::lock_guard<std::mutex> g(g_shared.m);
            closeNow = accepted_;
            if (!closeNow) server_ = server;
        }
        if (closeNow) server->Close();
    }

    void OnAccept(IAsyncSelector* frame, vemnet_socket_t s, unsigned ip, int port) override {
        IServerSock* server;
        bool first;
        {
            std::lock_guard<std::mutex> g(g_shared.m);
            first = !accepted_;
            accepted_ = true;
            server = server_;
            server_ = nullptr;
        }
        // One connection is served; the listener goes with the first.
        if (server) server->Close();
        if (!first) {
            // Wrapped only to have the handle closed.
            ISock* extra = CreateAsyncServerSock(&channel, s, frame);
            if (extra) extra->Close();
            return;
        }
        const unsigned char* b = reinterpret_cast<const unsigned char*>(&ip);
        Note("accepted a connection from %u.%u.%u.%u:%d", b[0], b[1], b[2], b[3], port);
        ISock* sock = CreateAsyncServerSock(&channel, s, frame);
        if (!sock) {
            g_shared.Finish(vemcat::kExitLocal, "could not take the accepted connection");
            return;
        }
        channel.Attach(sock);
        std::lock_guard<std::mutex> g(g_shared.m);
        g_shared.connected = true;
        g_shared.cv.notify_all();
    }

private:
    bool accepted_ = false;
    IServerSock* server_ = nullptr;
};

[[noreturn]] void RunServer() {
    static Listener listener;
    IServerSock* server = nullptr;
    try {
        server = CreateAsyncServer(&listener, g_options.listenPort, nullptr, g_options.bindIp.c_str(),
                                   SERVER_REUSEADDR | SERVER_NONBLOCKING);
    } catch (const std::exception& e) {
        Say("cannot listen on %s:%d: %s", g_options.bindIp.c_str(), g_options.listenPort, e.what());
        Exit(vemcat::kExitLocal);
    } catch (...) {
        Say("cannot listen on %s:%d", g_options.bindIp.c_str(), g_options.listenPort);
        Exit(vemcat::kExitLocal);
    }
    if (!server) {
        Say("cannot listen on %s:%d", g_options.bindIp.c_str(), g_options.listenPort);
        Exit(vemcat::kExitLocal);
    }
    int port = g_options.listenPort;
    try {
        port = server->GetLocalPort();
    } catch (...) {
    }
    Note("listening on %s:%d", g_options.bindIp.c_str(), port);
    listener.SetServer(server);

    bool up;
    if (g_options.timeoutGiven) {
        up = WaitConnected(g_options.timeout);
    } else {
        std::unique_lock<std::mutex> g(g_shared.m);
        g_shared.cv.wait(g, [] { return g_shared.connected || g_shared.finished; });
        up = true;
    }
    if (!up) {
        g_shared.Finish(vemcat::kExitTimeout,
                        Format("timed out: no client within %d ms", g_options.timeout));
        Conclude();
    }
    bool go;
    {
        std::lock_guard<std::mutex> g(g_shared.m);
        go = !g_shared.finished;
    }
    if (go) StartReader(&listener.channel);
    Conclude();
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#else
    // A closed standard output is an error to report, not a signal to die of.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    if (!vemcat::ParseArgs(args, &g_options, &error)) {
        Say("%s", error.c_str());
        std::fprintf(stderr, "Try 'vemnet-cat --help'.\n");
        return vemcat::kExitUsage;
    }
    if (g_options.help) {
        std::fputs(vemcat::HelpText(), stdout);
        std::fflush(stdout);
        return vemcat::kExitOk;
    }
    if (g_options.verbose && !vemcat::LibraryLogToStderr())
        Note("no logger module loaded: the library's own lines are not shown");
    try {
        if (g_options.listen) RunServer();
        RunClient();
    } catch (const std::exception& e) {
        Say("unexpected failure: %s", e.what());
        Exit(vemcat::kExitLocal);
    } catch (...) {
        Say("unexpected failure");
        Exit(vemcat::kExitLocal);
    }
}
