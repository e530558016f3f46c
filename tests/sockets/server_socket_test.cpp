// Listening sockets: ports, options, bind failures, a burst taken in one cycle,
// release from inside the acceptor and from a host thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "frame/base_selector.h"
#include "frame/exceptions.h"
#include "frame/sel_selector.h"
#include "sockets/server_socket.h"
#include "tests/support/frame_thread.h"
#include "tests/support/socket_helpers.h"
#include "tests/support/wait.h"
#include "tests/support/raw_sockets.h"
#include "vemnet/sock.h"

using namespace testing_support;

namespace {

struct Accepted {
    plat::socket_t s;
    uint32_t ip;
    int port;
    long cycle;
};

// Records what it is handed and keeps the handles for the test.
class RecordingAcceptor : public IAServerCallback {
public:
    std::atomic<long>* cycle = nullptr;
    std::function<void(IAsyncSelector*, vemnet_socket_t)> also;

    void OnAccept(IAsyncSelector* frame, vemnet_socket_t s, unsigned ip, int port) override {
        {
            std::lock_guard<std::mutex> g(m_);
            got_.push_back(Accepted{s, ip, port, cycle ? cycle->load() : 0});
        }
        if (also) also(frame, s);
    }
    std::vector<Accepted> Got() {
        std::lock_guard<std::mutex> g(m_);
        return got_;
    }
    size_t Count() { return Got().size(); }
    // A socket took s over: it is the socket's to close now.
    void Forget(vemnet_socket_t s) {
        std::lock_guard<std::mutex> g(m_);
        for (Accepted& a : got_) {
            if (a.s == s) a.s = plat::kInvalidSocket;
        }
    }
    ~RecordingAcceptor() {
        for (const Accepted& a : got_) {
            if (a.s != plat::kInvalidSocket) plat::CloseSocket(a.s);
        }
    }

private:
    std::mutex m_;
    std::vector<Accepted> got_;
};

// Counts the frame's cycles: a task that queues itself again runs once per
// cycle.
class CycleCounter : public INetTask {
public:
    CycleCounter(IAsyncSelector* frame, std::atomic<long>* count, std::atomic<bool>* stop)
        : frame_(frame), count_(count), stop_(stop) {}
    void Run() override {
        ++*count_;
        if (!*stop_) frame_->AddTask(new CycleCounter(frame_, count_, stop_), 0);
    }
    void OnError(int, const char*) override {}

private:
    IAsyncSelector* frame_;
    std::atomic<long>* count_;
    std::atomic<bool>* stop_;
};

// The export returns null; the text it logs is what Open raises.
std::string OpenFailure(IAServerCallback* acc, IAsyncSelector* frame, int port, const char* ip, int* code = nullptr) {
    EXPECT_EQ(CreateAsyncServer(acc, port, frame, ip, 0), nullptr);
    FrameGuard guard(AsBase(frame));
    ServerSocket sock(acc, AsBase(frame));
    try {
        sock.Open(port, ip, 0);
    } catch (const socket_error& e) {
        if (code) *code = e.code();
        return e.what();
    }
    return "(nothing raised)";
}

bool Refused(int port) { return ConnectOutcome(port) == 0; }

}  // namespace

TEST(ServerSocket, PortZeroAcceptsWithPeerAddress) {
    FrameThread ft;
    RecordingAcceptor acc;
    IServerSock* ls = CreateAsyncServer(&acc, 0, ft.frame(), "127.0.0.1", 0);
    ASSERT_NE(ls, nullptr);
    int port = ls->GetLocalPort();
    ASSERT_GT(port, 0);
    plat::socket_t c = RawConnect(port);
    ASSERT_NE(c, plat::kInvalidSocket);
    int clientPort = 0;
    plat::GetSockName(c, nullptr, &clientPort);
    ASSERT_TRUE(WaitFor([&] { return acc.Count() == 1; }));
    Accepted a = acc.Got()[0];
    EXPECT_EQ(a.ip, LoopbackIp());
    EXPECT_EQ(a.port, clientPort);
    // The handle is the acceptor's and works.
    ASSERT_TRUE(SendAll(a.s, "hi", 2));
    std::string got;
    RecvUpTo(c, &got, 2);
    EXPECT_EQ(got, "hi");
    plat::CloseSocket(c);
    ft.RunSync([&] { ls->Close(); });
}

TEST(ServerSocket, EmptyNullAndAnyAddressListenEverywhere) {
    FrameThread ft;
    RecordingAcceptor acc;
    for (const char* ip : {static_cast<const char*>(nullptr), "", "0.0.0.0"}) {
        IServerSock* ls = CreateAsyncServer(&acc, 0, ft.frame(), ip, 0);
        plat::socket_t c = RawConnect(ls->GetLocalPort());
        EXPECT_NE(c, plat::kInvalidSocket);
        if (c != plat::kInvalidSocket) plat::CloseSocket(c);
        ft.RunSync([&] { ls->Close(); });
    }
}

TEST(ServerSocket, OptionsAreAppliedToTheListeningHandle) {
    FrameThread ft;
    RecordingAcceptor acc;
    IServerSock* with = CreateAsyncServer(&acc, 0, ft.frame(), "127.0.0.1", SERVER_REUSEADDR | SERVER_NODELAY);
    IServerSock* without = CreateAsyncServer(&acc, 0, ft.frame(), "127.0.0.1", 0);
    int reuse = -1, nodelay = -1;
    plat::socket_t h = static_cast<ServerSocket*>(with)->GetHandle();
    ASSERT_EQ(testing_support::ReadOption(h, plat::Option::ReuseAddr, &reuse), 0);
    ASSERT_EQ(testing_support::ReadOption(h, plat::Option::NoDelay, &nodelay), 0);
    EXPECT_NE(reuse, 0);
    EXPECT_NE(nodelay, 0);
    h = static_cast<ServerSocket*>(without)->GetHandle();
    ASSERT_EQ(testing_support::ReadOption(h, plat::Option::ReuseAddr, &reuse), 0);
    ASSERT_EQ(testing_support::ReadOption(h, plat::Option::NoDelay, &nodelay), 0);
    EXPECT_EQ(reuse, 0);
    EXPECT_EQ(nodelay, 0);
    EXPECT_EQ(static_cast<ServerSocket*>(with)->Options(), SERVER_REUSEADDR | SERVER_NODELAY);
    ft.RunSync([&] {
        with->Close();
        without->Close();
    });
}

TEST(ServerSocket, AcceptedBlockingHandleBecomesNonBlockingWhenASocketTakesItOver) {
    FrameThread ft;
    RecordingAcceptor acc;
    IServerSock* ls = CreateAsyncServer(&acc, 0, ft.frame(), "127.0.0.1", 0);
    plat::socket_t c = RawConnect(ls->GetLocalPort());
    ASSERT_TRUE(WaitFor([&] { return acc.Count() == 1; }));
    plat::socket_t s = acc.Got()[0].s;
    // Refused without a callback: nobody would read it. The handle stays ours.
    EXPECT_EQ(CreateAsyncServerSock(nullptr, s, ft.frame()), nullptr);
    ASSERT_EQ(plat::Send(c, "x", 1), 1);
    char b;
    ASSERT_EQ(plat::Recv(s, &b, 1), 1);
    RecordingCallback cb;
    {
        FrameGuard guard(AsBase(ft.frame()));   // no receive by the frame meanwhile
        cb.sock = CreateAsyncServerSock(&cb, s, ft.frame());
        ASSERT_NE(cb.sock.load(), nullptr);
        acc.Forget(s);
        // Nothing to read: a blocking handle would hang here, and so would
        // the frame's thread in its sends to a peer that stops reading.
        std::atomic<int> got{2}, code{0};
        std::thread reader([&] {
            char r;
            got = plat::Recv(s, &r, 1);
            code = plat::LastSocketError();
        });
        bool returned = WaitFor([&] { return got.load() != 2; }, 2000);
        if (!returned) plat::Send(c, "y", 1);   // lets the stuck receive end
        reader.join();
        EXPECT_TRUE(returned) << "the handle was left blocking";
        EXPECT_EQ(got.load(), -1);
        EXPECT_EQ(code.load(), plat::kErrWouldBlock);
    }
    ft.RunSync([&] {
        cb.sock.load()->Close();
        ls->Close();
    });
    plat::CloseSocket(c);
}

TEST(ServerSocket, NonBlockingOptionGivesNonBlockingAcceptedHandles) {
    FrameThread ft;
    RecordingAcceptor acc;
    IServerSock* ls = CreateAsyncServer(&acc, 0, ft.frame(), "127.0.0.1", SERVER_NONBLOCKING);
    plat::socket_t c = RawConnect(ls->GetLocalPort());
    ASSERT_TRUE(WaitFor([&] { return acc.Count() == 1; }));
    char b;
    EXPECT_EQ(plat::Recv(acc.Got()[0].s, &b, 1), -1);
    EXPECT_EQ(plat::LastSocketError(), plat::kErrWouldBlock);
    plat::CloseSocket(c);
    ft.RunSync([&] { ls->Close(); });
}

TEST(ServerSocket, BindFailuresGiveNullWithTheirTexts) {
    FrameThread ft;
    RecordingAcceptor acc;
    int code = -1;
    EXPECT_EQ(OpenFailure(&acc, ft.frame(), 0, "localhost", &code), "bind: invalid ip=localhost");
    EXPECT_EQ(code, 0);

    IServerSock* first = CreateAsyncServer(&acc, 0, ft.frame(), "127.0.0.1", 0);
    int port = first->GetLocalPort();
    std::string text = OpenFailure(&acc, ft.frame(), port, "127.0.0.1");
    std::string prefix = "bind at " + std::to_string(port) + " - " + std::to_string(plat::kErrAddrInUse);
    EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0) << text;
    // The failed listener left nothing registered with the frame.
    size_t handlers = 0;
    ft.RunSync([&] { handlers = static_cast<SelSelector*>(AsBase(ft.frame()))->HandlerCount(); });
    EXPECT_EQ(handlers, 1u);
    ft.RunSync([&] { first->Close(); });
}

TEST(ServerSocket, ThreeWaitingClientsAreTakenInOneCycle) {
    FrameThread ft(20);
    std::atomic<long> cycle{0};
    std::atomic<bool> stop{false};
    AddAsyncNetTask(new CycleCounter(ft.frame(), &cycle, &stop), 0, ft.frame());
    RecordingAcceptor acc;
    acc.cycle = &cycle;
    IServerSock* ls = CreateAsyncServer(&acc, 0, ft.frame(), "127.0.0.1", SERVER_NONBLOCKING);
    int port = ls->GetLocalPort();
    std::set<int> clientPorts;
    std::vector<plat::socket_t> clients;
    {
        // All three are waiting before the frame looks at the listener again.
        FrameGuard guard(AsBase(ft.frame()));
        for (int i = 0; i < 3; ++i) {
            plat::socket_t c = RawConnect(port);
            ASSERT_NE(c, plat::kInvalidSocket);
            int p = 0;
            plat::GetSockName(c, nullptr, &p);
            clientPorts.insert(p);
            clients.push_back(c);
        }
    }
    ASSERT_TRUE(WaitFor([&] { return acc.Count() == 3; }));
    std::vector<Accepted> got = acc.Got();
    std::set<int> peerPorts;
    for (const Accepted& a : got) {
        peerPorts.insert(a.port);
        EXPECT_EQ(a.ip, LoopbackIp());
    }
    EXPECT_EQ(peerPorts, clientPorts);
    EXPECT_EQ(got[1].cycle, got[0].cycle);
    EXPECT_EQ(got[2].cycle, got[0].cycle);
    stop = true;
    // Let the last counting task run before its counters go out of scope.
    ft.RunSync([] {});
    ft.RunSync([] {});
    for (plat::socket_t c : clients) plat::CloseSocket(c);
    ft.RunSync([&] { ls->Close(); });
}

TEST(ServerSocket, CloseInsideOnAcceptStillDeliversTheHandle) {
    FrameThread ft;
    RecordingAcceptor acc;
    IServerSock* ls = CreateAsyncServer(&acc, 0, ft.frame(), "127.0.0.1", SERVER_NONBLOCKING);
    int port = ls->GetLocalPort();
    acc.also = [&](IAsyncSelector*, vemnet_socket_t) { ls->Close(); };
    plat::socket_t c1 = RawConnect(port);
    plat::socket_t c2 = RawConnect(port);   // waits in the backlog
    ASSERT_TRUE(WaitFor([&] { return acc.Count() >= 1; }));
    ft.Settle();
    EXPECT_EQ(acc.Count(), 1u);
    ASSERT_TRUE(SendAll(acc.Got()[0].s, "ok", 2));
    std::string got;
    EXPECT_EQ(RecvUpTo(c1, &got, 2), 2);
    EXPECT_EQ(got, "ok");
    // The listening handle is closed: new connections are refused.
    EXPECT_TRUE(Refused(port));
    plat::CloseSocket(c1);
    if (c2 != plat::kInvalidSocket) plat::CloseSocket(c2);
}

TEST(ServerSocket, NullAcceptorClosesWhatItAccepts) {
    FrameThread ft;
    IServerSock* ls = CreateAsyncServer(nullptr, 0, ft.frame(), "127.0.0.1", 0);
    plat::socket_t c = RawConnect(ls->GetLocalPort());
    ASSERT_NE(c, plat::kInvalidSocket);
    std::string got;
    EXPECT_EQ(RecvUpTo(c, &got, 1, 5000), 0);
    plat::CloseSocket(c);
    ft.RunSync([&] { ls->Close(); });
}

TEST(ServerSocket, CloseFromHostThreadReleasesAtCleanup) {
    FrameThread ft;
    RecordingAcceptor acc;
    IServerSock* ls = CreateAsyncServer(&acc, 0, ft.frame(), "127.0.0.1", SERVER_NONBLOCKING);
    int port = ls->GetLocalPort();
    plat::socket_t c = RawConnect(port);
    ASSERT_TRUE(WaitFor([&] { return acc.Count() == 1; }));
    ls->Close();
    EXPECT_TRUE(WaitFor([&] { return Refused(port); }));
    size_t handlers = 99;
    ft.RunSync([&] { handlers = static_cast<SelSelector*>(AsBase(ft.frame()))->HandlerCount(); });
    EXPECT_EQ(handlers, 0u);
    plat::CloseSocket(c);
}

TEST(ServerSocket, AcceptedHandleWrappedAsBufferedSocket) {
    FrameThread ft;
    RecordingCallback server;
    struct Wrap : IAServerCallback {
        RecordingCallback* cb;
        void OnAccept(IAsyncSelector* frame, vemnet_socket_t s, unsigned, int) override {
            cb->sock = CreateAsyncServerSock(cb, s, frame);
        }
    } wrap;
    wrap.cb = &server;
    IServerSock* ls = CreateAsyncServer(&wrap, 0, ft.frame(), "127.0.0.1", SERVER_NONBLOCKING);
    plat::socket_t c = RawConnect(ls->GetLocalPort());
    ASSERT_TRUE(SendAll(c, "question", 8));
    ASSERT_TRUE(server.WaitCount(SockEvent::Data, 1));
    EXPECT_EQ(server.Received(), "question");
    EXPECT_TRUE(server.sock.load()->Send("answer", 6));
    std::string got;
    RecvUpTo(c, &got, 6);
    EXPECT_EQ(got, "answer");
    plat::CloseSocket(c);
    ASSERT_TRUE(server.WaitCount(SockEvent::Close, 1));
    ft.RunSync([&] { ls->Close(); });
}
