// The operating-system layer: socket calls and their Windows Sockets error
// codes, error texts, clocks, the recursive lock, threads, text conversion
// and modules. Real loopback traffic throughout.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/wait.h"
#include "tests/support/raw_sockets.h"

namespace {

const char kLoopback[] = "127.0.0.1";

uint32_t Loopback() { return plat::ParseIPv4(kLoopback); }

class Socket {
public:
    explicit Socket(plat::socket_t s = plat::kInvalidSocket) : s_(s) {}
    ~Socket() { Reset(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    plat::socket_t get() const { return s_; }
    void Reset(plat::socket_t s = plat::kInvalidSocket) {
        if (s_ != plat::kInvalidSocket) plat::CloseSocket(s_);
        s_ = s;
    }

private:
    plat::socket_t s_;
};

class PlatformSockets : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(plat::StartSockets()); }

    // A listener on loopback with a port the system chose.
    void Listen(Socket* listener, int* port) {
        listener->Reset(plat::OpenSocket(true));
        ASSERT_NE(plat::kInvalidSocket, listener->get());
        ASSERT_EQ(0, plat::Bind(listener->get(), Loopback(), 0));
        ASSERT_EQ(0, plat::Listen(listener->get(), 16));
        uint32_t ip = 0;
        ASSERT_EQ(0, plat::GetSockName(listener->get(), &ip, port));
        ASSERT_EQ(Loopback(), ip);
        ASSERT_GT(*port, 0);
    }

    // A connected loopback pair (blocking sockets).
    void Pair(Socket* client, Socket* server) {
        Socket listener;
        int port = 0;
        ASSERT_NO_FATAL_FAILURE(Listen(&listener, &port));
        client->Reset(plat::OpenSocket(true));
        ASSERT_NE(plat::kInvalidSocket, client->get());
        ASSERT_EQ(0, plat::Connect(client->get(), Loopback(), port)) << plat::LastSocketError();
        uint32_t ip = 0;
        int peerPort = 0;
        server->Reset(plat::Accept(listener.get(), &ip, &peerPort));
        ASSERT_NE(plat::kInvalidSocket, server->get()) << plat::LastSocketError();
        ASSERT_EQ(Loopback(), ip);
        int localPort = 0;
        ASSERT_EQ(0, plat::GetSockName(client->get(), nullptr, &localPort));
        EXPECT_EQ(localPort, peerPort);
    }
};

TEST_F(PlatformSockets, LastErrorIsPerThreadAndSettable) {
    // Any system call may overwrite the calling thread's last error, so both
    // threads only spin on atomics between setting and reading theirs.
    std::atomic<int> step{0};
    int other = -1;
    std::thread t([&] {
        while (step.load() != 1) {}
        plat::SetLastSocketError(plat::kErrConnReset);
        step = 2;
        while (step.load() != 3) {}
        other = plat::LastSocketError();
    });
    plat::SetLastSocketError(plat::kErrTimedOut);
    step = 1;
    while (step.load() != 2) {}
    int mine = plat::LastSocketError();
    step = 3;
    t.join();
    EXPECT_EQ(plat::kErrTimedOut, mine);
    EXPECT_EQ(plat::kErrConnReset, other);
    plat::SetLastSocketError(0);
    EXPECT_EQ(0, plat::LastSocketError());
}

TEST_F(PlatformSockets, ErrorSurvivesTheThrowToTheCatchSite) {
    // Catch sites report the last socket error taken in the catch block;
    // unwinding, also the process's first, must not clear it.
    for (int i = 0; i < 2; ++i) {
        plat::SetLastSocketError(plat::kErrConnReset);
        int seen = -1;
        try {
            throw std::runtime_error("recv");
        } catch (const std::exception&) {
            seen = plat::LastSocketError();
        }
        EXPECT_EQ(plat::kErrConnReset, seen) << "throw " << i;
    }
}

TEST_F(PlatformSockets, RefusedConnectGivesConnRefused) {
    // A port that is bound but not listening refuses at once, and nobody
    // else can take it while the test runs.
    Socket holder(plat::OpenSocket(true));
    ASSERT_EQ(0, plat::Bind(holder.get(), Loopback(), 0));
    int port = 0;
    ASSERT_EQ(0, plat::GetSockName(holder.get(), nullptr, &port));

    Socket blocking(plat::OpenSocket(true));
    plat::SetLastSocketError(0);
    EXPECT_EQ(-1, plat::Connect(blocking.get(), Loopback(), port));
    EXPECT_EQ(plat::kErrConnRefused, plat::LastSocketError());

    // The non-blocking form: would-block first, the refusal later as the
    // socket's pending error.
    Socket nb(plat::OpenSocket(true));
    ASSERT_EQ(0, plat::SetNonBlocking(nb.get()));
    int rc = plat::Connect(nb.get(), Loopback(), port);
    if (rc != 0) {
        int err = plat::LastSocketError();
        if (err != plat::kErrConnRefused) {
            EXPECT_TRUE(err == plat::kErrWouldBlock || err == plat::kErrInProgress) << err;
            int pending = 0;
            ASSERT_TRUE(testing_support::WaitFor([&] {
                return plat::GetPendingError(nb.get(), &pending) == 0 && pending != 0;
            }, 10000));
            EXPECT_EQ(plat::kErrConnRefused, pending);
        }
    } else {
        ADD_FAILURE() << "connect to a port that does not listen succeeded";
    }
}

TEST_F(PlatformSockets, RecvOnEmptyNonBlockingSocketWouldBlock) {
    Socket client, server;
    ASSERT_NO_FATAL_FAILURE(Pair(&client, &server));
    ASSERT_EQ(0, plat::SetNonBlocking(server.get()));
    char buf[16];
    plat::SetLastSocketError(0);
    EXPECT_EQ(-1, plat::Recv(server.get(), buf, sizeof(buf)));
    EXPECT_EQ(plat::kErrWouldBlock, plat::LastSocketError());

    // Data then arrives intact, and a close by the peer reads as 0.
    const char msg[] = "hello, world";
    ASSERT_EQ(static_cast<int>(sizeof(msg)), plat::Send(client.get(), msg, sizeof(msg)));
    std::string got;
    ASSERT_TRUE(testing_support::WaitFor([&] {
        int n = plat::Recv(server.get(), buf, sizeof(buf));
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        return got.size() >= sizeof(msg);
    }));
    EXPECT_EQ(std::string(msg, sizeof(msg)), got);
    client.Reset();
    int last = -2;
    ASSERT_TRUE(testing_support::WaitFor([&] {
        last = plat::Recv(server.get(), buf, sizeof(buf));
        return last == 0 || (last < 0 && plat::LastSocketError() != plat::kErrWouldBlock);
    }));
    EXPECT_EQ(0, last);
}

TEST_F(PlatformSockets, LocalNamesAndPendingErrorOfAConnection) {
    Socket client, server;
    ASSERT_NO_FATAL_FAILURE(Pair(&client, &server));
    uint32_t ip = 0;
    int clientPort = 0, serverPort = 0;
    ASSERT_EQ(0, plat::GetSockName(client.get(), &ip, &clientPort));
    EXPECT_EQ(Loopback(), ip);
    ASSERT_EQ(0, plat::GetSockName(server.get(), nullptr, &serverPort));
    EXPECT_GT(clientPort, 0);
    EXPECT_GT(serverPort, 0);
    int pending = -1;
    ASSERT_EQ(0, plat::GetPendingError(client.get(), &pending));
    EXPECT_EQ(0, pending);
}

TEST_F(PlatformSockets, BindFailuresCarryTheirCodes) {
    Socket first(plat::OpenSocket(true));
    ASSERT_EQ(0, plat::Bind(first.get(), Loopback(), 0));
    ASSERT_EQ(0, plat::Listen(first.get(), 4));
    int port = 0;
    ASSERT_EQ(0, plat::GetSockName(first.get(), nullptr, &port));
    Socket second(plat::OpenSocket(true));
    EXPECT_EQ(-1, plat::Bind(second.get(), Loopback(), port));
    EXPECT_EQ(plat::kErrAddrInUse, plat::LastSocketError());

    // 192.0.2.1 is reserved for documentation and never a local address.
    Socket third(plat::OpenSocket(true));
    EXPECT_EQ(-1, plat::Bind(third.get(), plat::ParseIPv4("192.0.2.1"), 0));
    EXPECT_EQ(plat::kErrAddrNotAvail, plat::LastSocketError());
}

TEST_F(PlatformSockets, DatagramsCarryTheirSender) {
    Socket a(plat::OpenSocket(false)), b(plat::OpenSocket(false));
    ASSERT_NE(plat::kInvalidSocket, a.get());
    ASSERT_EQ(0, plat::Bind(a.get(), Loopback(), 0));
    ASSERT_EQ(0, plat::Bind(b.get(), Loopback(), 0));
    int aPort = 0, bPort = 0;
    ASSERT_EQ(0, plat::GetSockName(a.get(), nullptr, &aPort));
    ASSERT_EQ(0, plat::GetSockName(b.get(), nullptr, &bPort));
    const char msg[] = "datagram";
    ASSERT_EQ(8, plat::SendTo(b.get(), msg, 8, Loopback(), aPort));
    char buf[64];
    uint32_t ip = 0;
    int port = 0;
    int n = testing_support::RecvFrom(a.get(), buf, sizeof(buf), &ip, &port);
    ASSERT_EQ(8, n) << plat::LastSocketError();
    EXPECT_EQ(std::string("datagram"), std::string(buf, 8));
    EXPECT_EQ(Loopback(), ip);
    EXPECT_EQ(bPort, port);
}

TEST_F(PlatformSockets, OptionsReadBackWhatWasSet) {
    Socket s(plat::OpenSocket(true));
    int v = -1;
    ASSERT_EQ(0, plat::SetOption(s.get(), plat::Option::NoDelay, 1));
    ASSERT_EQ(0, testing_support::ReadOption(s.get(), plat::Option::NoDelay, &v));
    EXPECT_NE(0, v);
    ASSERT_EQ(0, plat::SetOption(s.get(), plat::Option::NoDelay, 0));
    ASSERT_EQ(0, testing_support::ReadOption(s.get(), plat::Option::NoDelay, &v));
    EXPECT_EQ(0, v);
    ASSERT_EQ(0, plat::SetOption(s.get(), plat::Option::ReuseAddr, 1));
    ASSERT_EQ(0, testing_support::ReadOption(s.get(), plat::Option::ReuseAddr, &v));
    EXPECT_NE(0, v);
}

TEST_F(PlatformSockets, AddressesParseAndResolveWithoutDns) {
    uint32_t ip = plat::ParseIPv4("127.0.0.1");
    unsigned char bytes[4];
    std::memcpy(bytes, &ip, 4);
    EXPECT_EQ(127, bytes[0]);   // network byte order
    EXPECT_EQ(0, bytes[1]);
    EXPECT_EQ(0, bytes[2]);
    EXPECT_EQ(1, bytes[3]);
    ip = plat::ParseIPv4("10.20.30.40");
    std::memcpy(bytes, &ip, 4);
    EXPECT_EQ(10, bytes[0]);
    EXPECT_EQ(40, bytes[3]);
    EXPECT_EQ(0xffffffffu, plat::ParseIPv4("not an address"));
    EXPECT_EQ(0xffffffffu, plat::ParseIPv4("300.1.1.1"));
    // localhost comes from the hosts file; no query leaves the machine.
    EXPECT_EQ(Loopback(), plat::LookupHost("localhost"));
}

TEST(PlatformErrors, KnownCodesHaveTexts) {
    // Codes every system table here knows (wine's lacks many socket codes
    // and has no netmsg.dll).
    for (int code : {plat::kErrConnRefused, plat::kErrConnReset, plat::kErrInvalid, plat::kErrAccess}) {
        std::string text;
        EXPECT_TRUE(plat::SocketErrorText(code, &text)) << code;
        EXPECT_FALSE(text.empty()) << code;
    }
    std::string refused, reset;
    ASSERT_TRUE(plat::SocketErrorText(plat::kErrConnRefused, &refused));
    ASSERT_TRUE(plat::SocketErrorText(plat::kErrConnReset, &reset));
    EXPECT_NE(refused, reset);
}

TEST(PlatformErrors, UnknownCodeHasNoText) {
    std::string text = "untouched";
    EXPECT_FALSE(plat::SocketErrorText(0x3fffff17, &text));
}

TEST(PlatformErrors, LookingUpATextKeepsTheLastError) {
    plat::SetLastSocketError(plat::kErrWouldBlock);
    std::string text;
    plat::SocketErrorText(plat::kErrConnRefused, &text);
    plat::SocketErrorText(0x3fffff17, &text);
    EXPECT_EQ(plat::kErrWouldBlock, plat::LastSocketError());
}

TEST(PlatformTime, ClocksMoveForwardTogether) {
    uint32_t t0 = plat::TickCount();
    uint64_t t640 = plat::TickCount64();
    uint64_t u0 = plat::MicroTicks();
    uint64_t prev = u0;
    for (int i = 0; i < 10000; ++i) {
        uint64_t u = plat::MicroTicks();
        ASSERT_GE(u, prev);
        prev = u;
    }
    plat::SleepMs(120);
    uint32_t t1 = plat::TickCount();
    uint64_t t641 = plat::TickCount64();
    uint64_t u1 = plat::MicroTicks();
    // Ticks may be as coarse as 16 ms; the upper bounds only catch units
    // that are wrong by orders of magnitude on a busy machine.
    EXPECT_GE(static_cast<uint32_t>(t1 - t0), 90u);
    EXPECT_LT(static_cast<uint32_t>(t1 - t0), 30000u);
    EXPECT_GE(t641 - t640, 90u);
    EXPECT_LT(t641 - t640, 30000u);
    EXPECT_GE(u1 - u0, 100000u);
    EXPECT_LT(u1 - u0, 30000000u);
    // The 32-bit tick is the low word of the 64-bit one.
    uint32_t low = static_cast<uint32_t>(plat::TickCount64());
    uint32_t tick = plat::TickCount();
    EXPECT_LT(static_cast<uint32_t>(tick - low) + 1000u, 2000u);
}

TEST(PlatformTime, NonPositiveSleepReturns) {
    uint64_t t0 = plat::MicroTicks();
    plat::SleepMs(0);
    plat::SleepMs(-1);
    EXPECT_LT(plat::MicroTicks() - t0, 5000000u);
}

TEST(PlatformLock, IsRecursiveAndExcludesOtherThreads) {
    plat::Lock lock;
    lock.lock();
    lock.lock();
    EXPECT_TRUE(lock.try_lock());
    std::atomic<int> other{-1};
    std::thread t([&] { other = lock.try_lock() ? 1 : 0; });
    t.join();
    EXPECT_EQ(0, other.load());
    lock.unlock();
    lock.unlock();
    std::thread t2([&] { other = lock.try_lock() ? 1 : 0; });
    t2.join();
    EXPECT_EQ(0, other.load()) << "still held once by this thread";
    lock.unlock();
    std::thread t3([&] {
        bool got = lock.try_lock();
        other = got ? 1 : 0;
        if (got) lock.unlock();
    });
    t3.join();
    EXPECT_EQ(1, other.load());
}

TEST(PlatformLock, SerialisesCounters) {
    plat::Lock lock;
    long counter = 0;
    const int kThreads = 4, kRounds = 50000;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            for (int j = 0; j < kRounds; ++j) {
                lock.lock();
                long v = counter;
                lock.lock();   // nested, as frame code re-enters its lock
                counter = v + 1;
                lock.unlock();
                lock.unlock();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(static_cast<long>(kThreads) * kRounds, counter);
}

struct ThreadProbe {
    std::atomic<int> runs{0};
    std::atomic<bool> otherThread{false};
    std::thread::id starter;
};

void ProbeMain(void* p) {
    ThreadProbe* probe = static_cast<ThreadProbe*>(p);
    probe->otherThread = std::this_thread::get_id() != probe->starter;
    probe->runs.fetch_add(1);
}

TEST(PlatformThread, StartsDetachedThreadsWithTheirArgument) {
    ThreadProbe probe;
    probe.starter = std::this_thread::get_id();
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(plat::StartThread(&ProbeMain, &probe));
    ASSERT_TRUE(testing_support::WaitFor([&] { return probe.runs.load() == 8; }, 20000));
    EXPECT_TRUE(probe.otherThread.load());
    plat::SleepMs(50);   // none runs twice
    EXPECT_EQ(8, probe.runs.load());
}

TEST(PlatformText, AsciiRoundTrips) {
    std::string ascii;
    for (int c = 0x20; c < 0x7f; ++c) ascii.push_back(static_cast<char>(c));
    std::wstring wide = plat::FromAnsi(ascii);
    ASSERT_EQ(ascii.size(), wide.size());
    for (size_t i = 0; i < ascii.size(); ++i) EXPECT_EQ(static_cast<wchar_t>(ascii[i]), wide[i]);
    EXPECT_EQ(ascii, plat::ToAnsi(wide));
    EXPECT_EQ("proxy.example:8080", plat::ToAnsi(L"proxy.example:8080"));
    EXPECT_EQ(std::wstring(L"abc"), plat::FromAnsi("abcdef", 3));
    EXPECT_EQ(std::wstring(), plat::FromAnsi(""));
    EXPECT_EQ(std::string(), plat::ToAnsi(L""));
    // Lengths are honoured, not terminators.
    std::string withNul("a\0b", 3);
    EXPECT_EQ(3u, plat::FromAnsi(withNul).size());
}

TEST(PlatformModule, MissingModuleGivesNull) {
    EXPECT_EQ(nullptr, plat::LoadModule(L"vemnet-no-such-module-7f3a"));
    EXPECT_EQ(nullptr, plat::LoadModule(L"/nonexistent/vemnet-no-such-module-7f3a"));
}

TEST(PlatformModule, SystemModuleAndSymbol) {
#ifdef _WIN32
    const wchar_t* name = L"kernel32.dll";
    const char* symbol = "GetTickCount";
#else
    const wchar_t* name = L"libc.so.6";
    const char* symbol = "getpid";
#endif
    void* m = plat::LoadModule(name);
    ASSERT_NE(nullptr, m);
    EXPECT_NE(nullptr, plat::ModuleSymbol(m, symbol));
    EXPECT_EQ(nullptr, plat::ModuleSymbol(m, "vemnet_no_such_symbol"));
    plat::FreeModule(m);
}

TEST(PlatformModule, ExecutablePathNamesThisProgram) {
    std::wstring path = plat::ExecutablePath();
    ASSERT_FALSE(path.empty());
    size_t cut = path.rfind(plat::PathSeparator());
    ASSERT_NE(std::wstring::npos, cut) << "no directory in the path";
    std::wstring file = path.substr(cut + 1);
    EXPECT_EQ(0u, file.find(L"platform_tests"));
#ifdef _WIN32
    EXPECT_EQ(L'\\', plat::PathSeparator());
    EXPECT_EQ(std::wstring(L"logger.dll"), plat::LoggerModuleName());
#else
    EXPECT_EQ(L'/', plat::PathSeparator());
    EXPECT_EQ(0u, path.find(L'/'));
#endif
    EXPECT_NE(0u, std::wstring(plat::LoggerModuleName()).size());
}

}  // namespace
