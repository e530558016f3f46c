// Shared harness of the benchmark program: parameters, the server every
// library provides, the client child process, clocks and statistics.
//
// Every network benchmark runs the server side on one thread of the parent
// process and the client side on the main thread of a child process (the
// same program, exec'd in client mode). The child keeps each process under
// the descriptor limit at 10000 and more connections, and it gives every
// library exactly the same arrangement: one loop thread per side.
#ifndef VEMNET_BENCH_COMMON_H
#define VEMNET_BENCH_COMMON_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bench {

// The one message of the ping-pong benchmarks.
const unsigned kMessage = 64;
// The chunk every bulk sender hands to its library.
const unsigned kBulkChunk = 65536;

inline double NowSec() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}
inline uint64_t NowNs() {
    using namespace std::chrono;
    return uint64_t(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

// What the server does with each accepted connection.
enum class ServerMode {
    Echo,    // sends back every byte it receives
    Sink,    // counts and drops what it receives
    Greet,   // sends one byte at once, then waits for the peer to close
};

// Counters the server's loop thread updates and the parent's main thread reads.
struct ServerStats {
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> closed{0};
    std::atomic<uint64_t> bytes{0};
    // Sink: the time the first byte came and the time bytes reached sinkTarget.
    std::atomic<uint64_t> firstNs{0};
    std::atomic<uint64_t> doneNs{0};
    uint64_t sinkTarget = 0;
    // Resident size once `rssAfter` connections had been accepted (0: not asked).
    uint64_t rssAfter = 0;
    std::atomic<long> rssKb{0};

    // Called by every library's sink on each receive.
    void OnSinkBytes(uint64_t n) {
        uint64_t now = 0;
        if (firstNs.load(std::memory_order_relaxed) == 0) {
            now = NowNs();
            firstNs.store(now);
        }
        uint64_t total = bytes.fetch_add(n, std::memory_order_relaxed) + n;
        if (sinkTarget && total >= sinkTarget && doneNs.load(std::memory_order_relaxed) == 0) doneNs.store(NowNs());
    }
    void OnAccepted();
};

// One library's server: Start opens a listener on 127.0.0.1 (any port) and
// starts its loop thread; Stop ends the loop and joins the thread.
class Server {
public:
    virtual ~Server() {}
    virtual int Start(ServerMode mode, ServerStats* stats) = 0;
    virtual void Stop() = 0;
};

// What the client child is asked to do.
struct ClientJob {
    std::string bench;       // pingpong, bulk, connrate
    int port = 0;
    int conns = 1;           // active connections
    int idle = 0;            // idle connections opened first (plain sockets)
    double secs = 1.0;       // measuring time
    uint64_t bytes = 0;      // bulk: bytes to send
    int inflight = 32;       // connrate: connects under way at once
};

// The client's answer, one line on its standard output.
struct ClientResult {
    uint64_t count = 0;     // round trips (pingpong) or connections (connrate)
    double secs = 0;
    bool ok = false;
    std::string error;
};

// Library entry points. Each returns null (or false) for a library that
// does not take part in a benchmark.
std::unique_ptr<Server> MakeServer(const std::string& lib);
// Runs job on the calling thread; fills result.
bool RunClient(const std::string& lib, const ClientJob& job, ClientResult* result);
// Task latency: `samples` cross-thread posts, each latency in ns.
bool TaskLatency(const std::string& lib, int samples, std::vector<double>* ns);
// Timer lateness: `samples` timers of 10 ms, each lateness in ns.
bool TimerLateness(const std::string& lib, int samples, std::vector<double>* ns);

// Per-library implementations, declared here so the dispatch can name them.
std::unique_ptr<Server> MakeVemnetServer();
std::unique_ptr<Server> MakeLibeventServer();
std::unique_ptr<Server> MakeAsioServer();
std::unique_ptr<Server> MakeUringServer(bool batch);
bool VemnetClient(const ClientJob& job, ClientResult* result);
bool LibeventClient(const ClientJob& job, ClientResult* result);
bool AsioClient(const ClientJob& job, ClientResult* result);
bool UringClient(const ClientJob& job, bool batch, ClientResult* result);
bool VemnetTaskLatency(int samples, std::vector<double>* ns);
bool AsioTaskLatency(int samples, std::vector<double>* ns);
bool UvTaskLatency(int samples, std::vector<double>* ns);
bool VemnetTimerLateness(int samples, std::vector<double>* ns);
bool LibeventTimerLateness(int samples, std::vector<double>* ns);
bool AsioTimerLateness(int samples, std::vector<double>* ns);

// Helpers.
long ResidentKb();                                   // VmRSS of this process
double Percentile(std::vector<double> v, double p);  // p in [0, 100]
void SetNoDelay(int fd);
// Opens n blocking connections to 127.0.0.1:port and keeps them; returns the
// descriptors (fewer on failure).
std::vector<int> OpenIdle(int port, int n);
// The pause between two cross-thread posts: the receiving loop must be
// asleep when the post comes, which is what the benchmark measures.
void PauseBetweenSamples();

}  // namespace bench

#endif
