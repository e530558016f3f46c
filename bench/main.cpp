// vemnet-bench: one benchmark of one library per run, one RESULT line out.
//
//   vemnet-bench pingpong --lib L --conns C --secs T
//   vemnet-bench bulk     --lib L --bytes B
//   vemnet-bench scale    --lib L --idle N --conns C --secs T
//   vemnet-bench connrate --lib L --secs T [--inflight K]
//   vemnet-bench task     --lib L --samples N
//   vemnet-bench timer    --lib L --samples N
//   vemnet-bench client   ...   (the child side; started by the above)
//
// L is vemnet, libevent, asio or libuv. The exit status is 0 only when the
// run completed and its figure is trustworthy (every connection made, every
// byte arrived).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/common.h"

namespace bench {
namespace {

struct Args {
    std::string cmd;
    std::map<std::string, std::string> kv;
    std::string Get(const std::string& k, const std::string& def = "") const {
        auto it = kv.find(k);
        return it == kv.end() ? def : it->second;
    }
    long long Int(const std::string& k, long long def) const {
        auto it = kv.find(k);
        return it == kv.end() ? def : std::atoll(it->second.c_str());
    }
    double Num(const std::string& k, double def) const {
        auto it = kv.find(k);
        return it == kv.end() ? def : std::atof(it->second.c_str());
    }
};

bool Parse(int argc, char** argv, Args* a) {
    if (argc < 2) return false;
    a->cmd = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string k = argv[i];
        if (k.rfind("--", 0) != 0 || i + 1 >= argc) return false;
        a->kv[k.substr(2)] = argv[++i];
    }
    return true;
}

void RaiseFileLimit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

// The server side on the first CPU, the client side on the second: the
// same arrangement for every library and every run. With one thread per
// side left to the scheduler, one-connection figures swing by a factor of
// four between runs, depending on whether the two land on one CPU.
// BENCH_PIN=same puts both sides on the first CPU (what a message costs
// without cross-CPU wake-ups); BENCH_PIN=none leaves them to the scheduler.
std::string PinMode() {
    const char* how = std::getenv("BENCH_PIN");
    return how ? how : "split";
}

void PinTo(int cpu) {
    std::string mode = PinMode();
    if (mode == "none") return;
    if (mode == "same") cpu = 0;
    if (std::thread::hardware_concurrency() < 2) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
}

int ClientMain(const Args& a) {
    PinTo(1);
    ClientJob job;
    job.bench = a.Get("bench");
    job.port = int(a.Int("port", 0));
    job.conns = int(a.Int("conns", 1));
    job.idle = int(a.Int("idle", 0));
    job.secs = a.Num("secs", 1.0);
    job.bytes = uint64_t(a.Int("bytes", 0));
    job.inflight = int(a.Int("inflight", 32));
    ClientResult r;
    bool ok = RunClient(a.Get("lib"), job, &r) && r.ok;
    if (ok) {
        std::printf("CLIENT count=%llu secs=%.6f\n", (unsigned long long)r.count, r.secs);
    } else {
        std::printf("CLIENT error=%s\n", r.error.empty() ? "failed" : r.error.c_str());
    }
    std::fflush(stdout);
    // Connections are closed by the exit; the server sees them go.
    return ok ? 0 : 1;
}

// Runs the child with args, returns what it printed; kills it after limitSecs.
bool RunChild(const std::vector<std::string>& args, double limitSecs, std::string* out) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> av;
        static char self[] = "/proc/self/exe";
        av.push_back(self);
        for (const std::string& s : args) av.push_back(const_cast<char*>(s.c_str()));
        av.push_back(nullptr);
        // The parent's listener and loop descriptors are not the child's.
        for (int fd = 3; fd < 256; ++fd) close(fd);
        execv("/proc/self/exe", av.data());
        _exit(127);
    }
    close(fds[1]);
    double deadline = NowSec() + limitSecs;
    char buf[4096];
    bool timedOut = false;
    for (;;) {
        int left = int((deadline - NowSec()) * 1000);
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        int n = poll(&p, 1, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) continue;
        ssize_t r = read(fds[0], buf, sizeof buf);
        if (r <= 0) break;
        out->append(buf, size_t(r));
    }
    close(fds[0]);
    if (timedOut) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    return !timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool ParseClient(const std::string& out, ClientResult* r) {
    size_t at = out.find("CLIENT ");
    if (at == std::string::npos) return false;
    unsigned long long count = 0;
    double secs = 0;
    if (std::sscanf(out.c_str() + at, "CLIENT count=%llu secs=%lf", &count, &secs) == 2) {
        r->count = count;
        r->secs = secs;
        r->ok = true;
        return true;
    }
    r->error = out.substr(at + 7);
    while (!r->error.empty() && (r->error.back() == '\n')) r->error.pop_back();
    return false;
}

std::vector<std::string> ChildArgs(const std::string& lib, const ClientJob& j) {
    return {"client", "--lib", lib, "--bench", j.bench, "--port", std::to_string(j.port),
            "--conns", std::to_string(j.conns), "--idle", std::to_string(j.idle),
            "--secs", std::to_string(j.secs), "--bytes", std::to_string(j.bytes),
            "--inflight", std::to_string(j.inflight)};
}

double CpuSecs(int who) {
    rusage ru{};
    getrusage(who, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

int Fail(const std::string& bench, const std::string& lib, const std::string& why) {
    std::printf("RESULT bench=%s lib=%s ok=0 error=%s\n", bench.c_str(), lib.c_str(), why.c_str());
    std::fflush(stdout);
    return 1;
}

int NetMain(const Args& a) {
    const std::string lib = a.Get("lib");
    const std::string& bench = a.cmd;
    std::unique_ptr<Server> server = MakeServer(lib);
    if (!server) return Fail(bench, lib, "no-server-for-this-library");

    ClientJob job;
    job.bench = bench == "scale" ? "pingpong" : bench;
    job.conns = int(a.Int("conns", bench == "bulk" ? 1 : 100));
    job.idle = int(a.Int("idle", 0));
    job.secs = a.Num("secs", 2.0);
    job.bytes = uint64_t(a.Int("bytes", 1LL << 30));
    job.inflight = int(a.Int("inflight", 32));

    ServerStats stats;
    ServerMode mode = ServerMode::Echo;
    if (bench == "bulk") {
        mode = ServerMode::Sink;
        stats.sinkTarget = job.bytes;
    } else if (bench == "connrate") {
        mode = ServerMode::Greet;
    }
    if (job.idle > 0) stats.rssAfter = uint64_t(job.idle);

    PinTo(0);   // before Start, so the loop thread inherits it
    long rssBefore = ResidentKb();
    try {
        job.port = server->Start(mode, &stats);
    } catch (const std::exception& e) {
        return Fail(bench, lib, std::string("server-start:") + e.what());
    }
    if (job.port <= 0) return Fail(bench, lib, "server-start");
    // Let the loop thread settle (first allocations) before the baseline.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    rssBefore = ResidentKb();

    double cpuBefore = CpuSecs(RUSAGE_SELF);
    std::string out;
    double limit = job.secs + 120 + double(job.bytes) / 50e6;
    bool childOk = RunChild(ChildArgs(lib, job), limit, &out);
    ClientResult cr;
    bool parsed = ParseClient(out, &cr);

    if (bench == "bulk") {
        // What the kernel still holds reaches the sink after the child left.
        double until = NowSec() + 30;
        while (stats.doneNs.load() == 0 && NowSec() < until) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    server->Stop();
    // Both sides' processor time, connection set-up included: less at the
    // mercy of other load on the machine than the rates are.
    double cpu = CpuSecs(RUSAGE_SELF) - cpuBefore + CpuSecs(RUSAGE_CHILDREN);

    if (!childOk || !parsed) return Fail(bench, lib, cr.error.empty() ? "client-failed" : cr.error);

    if (bench == "pingpong" || bench == "scale") {
        double rate = cr.secs > 0 ? double(cr.count) / cr.secs : 0;
        std::printf("RESULT bench=%s lib=%s ok=1 conns=%d idle=%d msgs=%llu secs=%.3f rate=%.0f pin=%s", bench.c_str(),
                    lib.c_str(), job.conns, job.idle, (unsigned long long)cr.count, cr.secs, rate, PinMode().c_str());
        std::printf(" cpu_us_per_msg=%.2f", cr.count ? cpu * 1e6 / double(cr.count) : 0.0);
        if (job.idle > 0) {
            long after = stats.rssKb.load();
            if (after <= 0) return Fail(bench, lib, "idle-connections-not-all-accepted");
            double perConn = double(after - rssBefore) * 1024.0 / job.idle;
            std::printf(" rss_before_kb=%ld rss_idle_kb=%ld bytes_per_idle=%.0f", rssBefore, after, perConn);
        }
        std::printf("\n");
    } else if (bench == "bulk") {
        uint64_t first = stats.firstNs.load(), done = stats.doneNs.load();
        if (!done) return Fail(bench, lib, "not-all-bytes-arrived");
        double secs = double(done - first) / 1e9;
        std::printf("RESULT bench=bulk lib=%s ok=1 bytes=%llu secs=%.3f mbps=%.1f cpu_s_per_gib=%.3f pin=%s\n",
                    lib.c_str(), (unsigned long long)stats.bytes.load(), secs, double(stats.bytes.load()) / secs / 1e6,
                    cpu / (double(stats.bytes.load()) / double(1ull << 30)), PinMode().c_str());
    } else if (bench == "connrate") {
        double rate = cr.secs > 0 ? double(cr.count) / cr.secs : 0;
        std::printf("RESULT bench=connrate lib=%s ok=1 conns=%llu secs=%.3f rate=%.0f accepted=%llu cpu_us_per_conn=%.2f "
                    "pin=%s\n",
                    lib.c_str(), (unsigned long long)cr.count, cr.secs, rate, (unsigned long long)stats.accepted.load(),
                    cr.count ? cpu * 1e6 / double(cr.count) : 0.0, PinMode().c_str());
    }
    std::fflush(stdout);
    return 0;
}

int LatencyMain(const Args& a) {
    const std::string lib = a.Get("lib");
    int samples = int(a.Int("samples", a.cmd == "task" ? 10000 : 300));
    std::vector<double> ns;
    bool ok = a.cmd == "task" ? TaskLatency(lib, samples, &ns) : TimerLateness(lib, samples, &ns);
    if (!ok || ns.size() < size_t(samples)) return Fail(a.cmd, lib, "not-supported-or-failed");
    if (a.cmd == "task") {
        std::printf("RESULT bench=task lib=%s ok=1 samples=%zu p50_us=%.1f p99_us=%.1f max_us=%.1f\n", lib.c_str(),
                    ns.size(), Percentile(ns, 50) / 1e3, Percentile(ns, 99) / 1e3, Percentile(ns, 100) / 1e3);
    } else {
        // min_ms below 0 would be a timer that fired early.
        std::printf("RESULT bench=timer lib=%s ok=1 samples=%zu min_ms=%.3f p50_ms=%.3f p99_ms=%.3f max_ms=%.3f\n",
                    lib.c_str(), ns.size(), Percentile(ns, 0) / 1e6, Percentile(ns, 50) / 1e6,
                    Percentile(ns, 99) / 1e6, Percentile(ns, 100) / 1e6);
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    signal(SIGPIPE, SIG_IGN);
    RaiseFileLimit();
    Args a;
    if (!Parse(argc, argv, &a)) {
        std::fprintf(stderr, "usage: vemnet-bench pingpong|bulk|scale|connrate|task|timer --lib L [--key value]...\n");
        return 2;
    }
    if (a.cmd == "client") return ClientMain(a);
    if (a.cmd == "task" || a.cmd == "timer") return LatencyMain(a);
    if (a.cmd == "pingpong" || a.cmd == "bulk" || a.cmd == "scale" || a.cmd == "connrate") return NetMain(a);
    std::fprintf(stderr, "unknown benchmark %s\n", a.cmd.c_str());
    return 2;
}
