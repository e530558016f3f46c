#include "tests/support/child_process.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

#if defined(_WIN32)
#  ifndef _WIN32_WINNT
#    define _WIN32_WINNT 0x0601
#  endif
#  include <windows.h>
#else
#  include <fcntl.h>
#  include <signal.h>
#  include <sys/resource.h>
#  include <sys/types.h>
#  include <sys/wait.h>
#  include <unistd.h>
extern char** environ;
#endif

#include "platform/platform.h"

namespace testing_support {

namespace {

#if defined(_WIN32)
using Pipe = HANDLE;
const Pipe kNoPipe = nullptr;
void ClosePipe(Pipe& p) {
    if (p) CloseHandle(p);
    p = nullptr;
}
// Bytes read, 0 at the end (or on failure).
int ReadPipe(Pipe p, char* buf, int len) {
    DWORD got = 0;
    if (!ReadFile(p, buf, DWORD(len), &got, nullptr)) return 0;
    return int(got);
}
bool WritePipe(Pipe p, const char* buf, size_t len) {
    while (len > 0) {
        DWORD put = 0;
        DWORD chunk = DWORD(len > 65536 ? 65536 : len);
        if (!WriteFile(p, buf, chunk, &put, nullptr)) return false;
        buf += put;
        len -= put;
    }
    return true;
}
bool SameName(const std::string& a, const std::string& b) {
    // Windows variable names are not case-sensitive.
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (toupper((unsigned char)a[i]) != toupper((unsigned char)b[i])) return false;
    }
    return true;
}
#else
using Pipe = int;
const Pipe kNoPipe = -1;
void ClosePipe(Pipe& p) {
    if (p >= 0) close(p);
    p = -1;
}
int ReadPipe(Pipe p, char* buf, int len) {
    for (;;) {
        ssize_t r = read(p, buf, size_t(len));
        if (r < 0 && errno == EINTR) continue;
        return r > 0 ? int(r) : 0;
    }
}
bool WritePipe(Pipe p, const char* buf, size_t len) {
    while (len > 0) {
        ssize_t r = write(p, buf, len);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        buf += r;
        len -= size_t(r);
    }
    return true;
}
bool SameName(const std::string& a, const std::string& b) { return a == b; }
#endif

std::string NameOf(const std::string& entry) {
    size_t eq = entry.find('=', entry[0] == '=' ? 1 : 0);
    return eq == std::string::npos ? entry : entry.substr(0, eq);
}

// The test's environment with the overrides applied.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& overrides) {
    std::vector<std::string> env;
#if defined(_WIN32)
    char* block = GetEnvironmentStringsA();
    for (const char* p = block; p && *p; p += strlen(p) + 1) env.push_back(p);
    if (block) FreeEnvironmentStringsA(block);
#else
    for (char** p = environ; p && *p; ++p) env.push_back(*p);
#endif
    for (const std::string& o : overrides) {
        if (o.empty()) continue;
        std::string name = NameOf(o);
        std::vector<std::string> kept;
        for (const std::string& e : env) {
            if (!SameName(NameOf(e), name)) kept.push_back(e);
        }
        env.swap(kept);
        if (o.size() > name.size() + 1) env.push_back(o);
    }
    return env;
}

#if defined(_WIN32)
// One argument quoted the way the C runtime of the child splits it again.
std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            out.append(backslashes * 2 + 1, '\\');
        } else {
            out.append(backslashes, '\\');
        }
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

// Inheritable handles leak into every child created while they exist; Starts
// are serialised so a child gets only its own pipe ends.
std::mutex& CreationLock() {
    static std::mutex m;
    return m;
}
#endif

}  // namespace

struct ChildProcess::Impl {
    mutable std::mutex m;
    std::condition_variable cv;
    std::string out, err;
    bool started = false;
    bool ended = false;
    int code = -1;
    bool timedOut = false;

    std::deque<std::string> feed;
    bool closeWanted = false;

    Pipe inW = kNoPipe, outR = kNoPipe, errR = kNoPipe;
#if defined(_WIN32)
    HANDLE process = nullptr;
#else
    pid_t pid = -1;
#endif
    std::thread outReader, errReader, feeder;

    void Collect(Pipe p, std::string* into) {
        char buf[16384];
        for (;;) {
            int n = ReadPipe(p, buf, sizeof buf);
            if (n <= 0) break;
            std::lock_guard<std::mutex> g(m);
            into->append(buf, size_t(n));
        }
    }

    void Feed() {
        for (;;) {
            std::string chunk;
            {
                std::unique_lock<std::mutex> g(m);
                cv.wait(g, [&] { return !feed.empty() || closeWanted; });
                if (feed.empty()) break;
                chunk.swap(feed.front());
                feed.pop_front();
            }
            if (!WritePipe(inW, chunk.data(), chunk.size())) {
                // The child stopped reading for good: the rest can go nowhere.
                std::lock_guard<std::mutex> g(m);
                feed.clear();
                closeWanted = true;
            }
        }
        ClosePipe(inW);
    }

    // True once the process has ended; stores its code.
    bool Reap(int ms) {
#if defined(_WIN32)
        if (WaitForSingleObject(process, DWORD(ms < 0 ? 0 : ms)) != WAIT_OBJECT_0) return false;
        DWORD c = 0;
        GetExitCodeProcess(process, &c);
        code = int(c);
        return true;
#else
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            int status = 0;
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
                return true;
            }
            if (r < 0 && errno != EINTR) return true;
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
#endif
    }

    void Kill() {
#if defined(_WIN32)
        TerminateProcess(process, 1);
#else
        kill(pid, SIGKILL);
#endif
    }
};

ChildProcess::ChildProcess() : impl_(new Impl) {}

ChildProcess::~ChildProcess() {
    if (impl_->started) Wait(0);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    Impl& d = *impl_;
    if (d.started || argv.empty()) return false;
    std::vector<std::string> environment = MergedEnvironment(env);

#if defined(_WIN32)
    std::lock_guard<std::mutex> creating(CreationLock());
    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = TRUE;
    HANDLE inR = nullptr, outW = nullptr, errW = nullptr;
    if (!CreatePipe(&inR, &d.inW, &sa, 0)) return false;
    if (!CreatePipe(&d.outR, &outW, &sa, 0) || !CreatePipe(&d.errR, &errW, &sa, 0)) {
        ClosePipe(inR);
        ClosePipe(outW);
        ClosePipe(d.inW);
        ClosePipe(d.outR);
        return false;
    }
    SetHandleInformation(d.inW, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(d.outR, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(d.errR, HANDLE_FLAG_INHERIT, 0);

    std::string cmd;
    for (const std::string& a : argv) {
        if (!cmd.empty()) cmd += ' ';
        cmd += QuoteArgument(a);
    }
    std::string block;
    for (const std::string& e : environment) {
        block += e;
        block += '\0';
    }
    block += '\0';

    STARTUPINFOEXA si;
    ZeroMemory(&si, sizeof si);
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = inR;
    si.StartupInfo.hStdOutput = outW;
    si.StartupInfo.hStdError = errW;
    // Only the three pipe ends go to the child, not the test's sockets.
    HANDLE inherit[3] = {inR, outW, errW};
    SIZE_T size = 0;
    std::vector<char> attrs;
    DWORD flags = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size > 0) {
        attrs.resize(size);
        auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrs.data());
        if (InitializeProcThreadAttributeList(list, 1, 0, &size) &&
            UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit, sizeof inherit,
                                      nullptr, nullptr)) {
            si.lpAttributeList = list;
            flags |= EXTENDED_STARTUPINFO_PRESENT;
        }
    }
    PROCESS_INFORMATION pi;
    ZeroMemory(&pi, sizeof pi);
    std::vector<char> cmdline(cmd.begin(), cmd.end());
    cmdline.push_back('\0');
    BOOL ok = CreateProcessA(nullptr, cmdline.data(), nullptr, nullptr, TRUE, flags, &block[0], nullptr,
                             reinterpret_cast<STARTUPINFOA*>(&si), &pi);
    if (si.lpAttributeList) DeleteProcThreadAttributeList(si.lpAttributeList);
    ClosePipe(inR);
    ClosePipe(outW);
    ClosePipe(errW);
    if (!ok) {
        ClosePipe(d.inW);
        ClosePipe(d.outR);
        ClosePipe(d.errR);
        return false;
    }
    CloseHandle(pi.hThread);
    d.process = pi.hProcess;
#else
    static std::once_flag ignorePipe;
    // A child that exits without reading its input must not kill the test.
    std::call_once(ignorePipe, [] { signal(SIGPIPE, SIG_IGN); });

    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    struct rlimit rl;
    int maxFd = 1024;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) maxFd = int(rl.rlim_cur);

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        // Sockets of the test (listeners, accepted connections) are not
        // close-on-exec; a copy in the child would keep them open.
        for (int fd = 3; fd < maxFd; ++fd) close(fd);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return false;
    }
    d.pid = pid;
    d.inW = in[1];
    d.outR = out[0];
    d.errR = err[0];
#endif
    d.started = true;
    d.outReader = std::thread([&d] { d.Collect(d.outR, &d.out); });
    d.errReader = std::thread([&d] { d.Collect(d.errR, &d.err); });
    d.feeder = std::thread([&d] { d.Feed(); });
    return true;
}

void ChildProcess::FeedStdin(const std::string& bytes, bool closeAfter) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> g(d.m);
    if (!d.closeWanted) {
        // In pieces, so that a child that stops reading leaves the rest here.
        for (size_t i = 0; i < bytes.size(); i += 65536) d.feed.push_back(bytes.substr(i, 65536));
        if (closeAfter) d.closeWanted = true;
    }
    d.cv.notify_all();
}

void ChildProcess::CloseStdin() {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> g(d.m);
    d.closeWanted = true;
    d.cv.notify_all();
}

int ChildProcess::Wait(int ms) {
    Impl& d = *impl_;
    if (!d.started) return -1;
    if (!d.ended) {
        if (!d.Reap(ms)) {
            d.Kill();
            d.Reap(10000);
            d.timedOut = true;
            d.code = -1;
        }
        d.ended = true;
        // The feeder may wait for more input or sit in a write that the dead
        // child no longer takes; both end now.
        {
            std::lock_guard<std::mutex> g(d.m);
            d.feed.clear();
            d.closeWanted = true;
            d.cv.notify_all();
        }
        d.feeder.join();
        d.outReader.join();
        d.errReader.join();
        ClosePipe(d.outR);
        ClosePipe(d.errR);
#if defined(_WIN32)
        CloseHandle(d.process);
        d.process = nullptr;
#endif
    }
    return d.code;
}

bool ChildProcess::TimedOut() const { return impl_->timedOut; }

std::string ChildProcess::Stdout() const {
    std::lock_guard<std::mutex> g(impl_->m);
    return impl_->out;
}

std::string ChildProcess::Stderr() const {
    std::lock_guard<std::mutex> g(impl_->m);
    return impl_->err;
}

bool ChildProcess::WaitStderrContains(const std::string& text, int ms) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (Stderr().find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool ChildProcess::WaitStdoutSize(size_t n, int ms) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (Stdout().size() >= n) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ChildResult RunChild(const std::vector<std::string>& argv, const std::string& input, int ms,
                     const std::vector<std::string>& env) {
    ChildResult r;
    ChildProcess child;
    if (!child.Start(argv, env)) {
        r.err = "could not start " + (argv.empty() ? std::string("(nothing)") : argv[0]);
        return r;
    }
    child.FeedStdin(input, true);
    r.code = child.Wait(ms);
    r.out = child.Stdout();
    r.err = child.Stderr();
    return r;
}

std::string BuildProgramPath(const std::string& relative) {
    std::string self = plat::ToAnsi(plat::ExecutablePath());
    const char sep = char(plat::PathSeparator());
    size_t cut = self.find_last_of(sep);
    std::string dir = cut == std::string::npos ? std::string(".") : self.substr(0, cut);
    std::string rest = relative;
    while (rest.compare(0, 3, "../") == 0) {
        size_t up = dir.find_last_of(sep);
        if (up == std::string::npos) break;
        dir.erase(up);
        rest.erase(0, 3);
    }
    for (char& c : rest) {
        if (c == '/') c = sep;
    }
    std::string path = dir + sep + rest;
#if defined(_WIN32)
    path += ".exe";
#endif
    return path;
}

bool FileExists(const std::string& path) {
    std::ifstream f(path.c_str(), std::ios::binary);
    return f.good();
}

}  // namespace testing_support
