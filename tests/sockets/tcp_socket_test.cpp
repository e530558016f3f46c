// Buffered TCP sockets against real loopback peers: connect outcomes,
// streams in both directions, queue limits, timers and release from inside
// callbacks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "frame/base_selector.h"
#include "frame/exceptions.h"
#include "frame/sel_selector.h"
#include "frame/sockethelper.h"
#include "sockets/buffered_sock.h"
#include "tests/support/frame_thread.h"
#include "tests/support/loopback_pair.h"
#include "tests/support/raw_sockets.h"
#include "tests/support/socket_helpers.h"
#include "tests/support/wait.h"
#include "vemnet/sock.h"

using namespace testing_support;

namespace {

const uint32_t kQueueLimit = 262144;

// A buffered socket that counts its destructions.
class CountingSock : public BufferedSock {
public:
    CountingSock(IASockCallback* cb, IAsyncSelector* frame, std::atomic<int>* deleted)
        : BufferedSock(cb, AsBase(frame)), deleted_(deleted) {}
    ~CountingSock() override { deleted_->fetch_add(1); }

private:
    std::atomic<int>* deleted_;
};

// A non-blocking connect of a counting socket, stored in cb.sock before any
// event can reach it.
ISock* ConnectCounting(RecordingCallback* cb, int port, IAsyncSelector* frame, std::atomic<int>* deleted,
                       int timeout = 5000, const char* host = "127.0.0.1") {
    FrameGuard guard(AsBase(frame));
    ISock* s = StartBufferedConnect(new CountingSock(cb, frame, deleted), host, port, timeout);
    cb->sock = s;
    return s;
}

std::thread::id FrameThreadId(FrameThread& ft) {
    std::thread::id id;
    ft.RunSync([&] { id = std::this_thread::get_id(); });
    return id;
}

void CloseOnFrame(FrameThread& ft, ISock* s) {
    ft.RunSync([&] { s->Close(); });
}

// Fills the accept queue of a listener made with backlog 1, so that further
// SYNs to it are dropped and connects get no answer.
class FullBacklog {
public:
    FullBacklog() : listener_(1) {
        for (int i = 0; i < 6; ++i) {
            plat::socket_t s = plat::OpenSocket(true);
            plat::SetNonBlocking(s);
            plat::Connect(s, LoopbackIp(), listener_.port());
            fillers_.push_back(s);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ~FullBacklog() { CloseAll(); }
    int port() const { return listener_.port(); }
    void CloseAll() {
        listener_.Close();
        for (plat::socket_t s : fillers_) plat::CloseSocket(s);
        fillers_.clear();
    }

private:
    RawListener listener_;
    std::vector<plat::socket_t> fillers_;
};

// One end of a two-way stream test: sends outTotal bytes of its stream and
// checks that inTotal bytes of the peer's stream arrive in order, consuming
// them in odd amounts (none, 3 of 10, all, more than offered).
class StreamEnd : public IASockCallback {
public:
    StreamEnd(uint32_t outSeed, size_t outTotal, uint32_t inSeed, size_t inTotal)
        : outSeed_(outSeed), outTotal_(outTotal), inSeed_(inSeed), inTotal_(inTotal) {}

    ISock* sock = nullptr;   // set before the socket's first event
    std::atomic<bool> sentAll{false}, receivedAll{false}, closed{false}, failed{false};
    std::atomic<int> refusals{0}, keptWhole{0}, keptPart{0};

    std::string Failure() {
        std::lock_guard<std::mutex> g(m_);
        return failure_;
    }

    void Pump() {
        while (sent_ < outTotal_) {
            size_t n = std::min(outTotal_ - sent_, size_t(1 + (chunkRand_ = chunkRand_ * 1103515245u + 12345u) % 90000));
            std::string buf = StreamBytes(sent_, n, outSeed_);
            if (!sock->Send(buf.data(), unsigned(n))) {
                ++refusals;
                return;   // OnSent tells when the queue drained
            }
            sent_ += n;
        }
    }

    void OnConnect(int status) override {
        if (status != 0) return Fail("connect status " + std::to_string(status));
        Pump();
    }
    void OnClose() override { closed = true; }
    void OnError(int code, const char* text) override {
        closed = true;
        Fail(std::string("OnError ") + text);
    }
    void OnTimer() override {}
    void OnSent() override {
        if (sent_ == outTotal_) sentAll = true;
        Pump();
    }
    unsigned OnData(const char* data, unsigned len) override {
        if (len <= left_) Fail("queue lost bytes: " + std::to_string(len) + " after " + std::to_string(left_) + " left");
        if (consumed_ + len > inTotal_) Fail("more bytes than sent");
        long long bad = StreamMismatch(data, len, consumed_, inSeed_);
        if (bad >= 0) Fail("byte " + std::to_string(consumed_ + uint64_t(bad)) + " differs");
        unsigned take;
        if (consumed_ + len >= inTotal_) {
            take = len;   // the stream is complete: nothing more will come
        } else {
            switch (call_++ % 4) {
            case 0: take = 0; ++keptWhole; break;
            case 1: take = len * 3 / 10; ++keptPart; break;
            case 2: take = len; break;
            default: take = len + 1000; break;   // more than offered empties the queue
            }
        }
        unsigned used = std::min(take, len);
        consumed_ += used;
        left_ = len - used;
        if (consumed_ == inTotal_) receivedAll = true;
        return take;
    }

private:
    void Fail(const std::string& what) {
        std::lock_guard<std::mutex> g(m_);
        if (!failed) failure_ = what;
        failed = true;
    }

    uint32_t outSeed_;
    size_t outTotal_, sent_ = 0;
    uint32_t inSeed_;
    size_t inTotal_, consumed_ = 0;
    unsigned left_ = 0;
    unsigned call_ = 0;
    uint32_t chunkRand_ = 7;
    std::mutex m_;
    std::string failure_;
};

class StreamAcceptor : public IAServerCallback {
public:
    StreamAcceptor(uint32_t outSeed, size_t outTotal, uint32_t inSeed, size_t inTotal)
        : end(outSeed, outTotal, inSeed, inTotal) {}
    void OnAccept(IAsyncSelector* frame, vemnet_socket_t s, unsigned, int) override {
        end.sock = CreateAsyncServerSock(&end, s, frame);
        accepted = true;
        end.Pump();
    }
    StreamEnd end;
    std::atomic<bool> accepted{false};
};

}  // namespace

TEST(TcpStream, MoreThanOneMebibyteEachWayArrivesIntact) {
    FrameThread ft(10);
    const size_t kBytes = 3 * 1024 * 1024 / 2;
    StreamAcceptor acceptor(2, kBytes, 1, kBytes);
    IServerSock* listener =
        CreateAsyncServer(&acceptor, 0, ft.frame(), "127.0.0.1", SERVER_NONBLOCKING | SERVER_NODELAY);
    StreamEnd client(1, kBytes, 2, kBytes);
    {
        FrameGuard guard(AsBase(ft.frame()));
        client.sock = CreateAsyncTcpSock(&client, "127.0.0.1", listener->GetLocalPort(), 5000, ft.frame());
        ASSERT_NE(client.sock, nullptr);
    }
    StreamEnd& server = acceptor.end;
    EXPECT_TRUE(WaitFor([&] {
        return (client.receivedAll && server.receivedAll && client.sentAll && server.sentAll) || client.failed ||
               server.failed;
    }, 60000));
    EXPECT_FALSE(client.failed) << client.Failure();
    EXPECT_FALSE(server.failed) << server.Failure();
    EXPECT_TRUE(client.receivedAll && server.receivedAll && client.sentAll && server.sentAll);
    // The odd consumption amounts were really exercised, and a full output
    // queue was met and recovered from.
    EXPECT_GT(client.keptWhole + server.keptWhole, 0);
    EXPECT_GT(client.keptPart + server.keptPart, 0);
    EXPECT_GT(client.refusals + server.refusals, 0);

    CloseOnFrame(ft, client.sock);
    EXPECT_TRUE(WaitFor([&] { return bool(server.closed); }));
    EXPECT_FALSE(server.failed) << server.Failure();
    ft.RunSync([&] { listener->Close(); });
}

TEST(TcpConnect, BackgroundConnectReportsOnceOnFrameThreadThenSent) {
    FrameThread ft;
    std::thread::id frameId = FrameThreadId(ft);
    RawListener peer;
    ASSERT_TRUE(peer.ok());

    RecordingCallback early, quiet;
    {
        FrameGuard guard(AsBase(ft.frame()));
        ASSERT_NE(CreateClient(&early, "127.0.0.1", peer.port(), 5000, ft.frame()), nullptr);
        // Queued while the connect is still in progress.
        EXPECT_TRUE(early.sock.load()->Send("early bytes", 11));
        ASSERT_NE(CreateClient(&quiet, "127.0.0.1", peer.port(), 5000, ft.frame()), nullptr);
    }
    plat::socket_t a = peer.Accept();
    plat::socket_t b = peer.Accept();
    ASSERT_NE(a, plat::kInvalidSocket);
    ASSERT_NE(b, plat::kInvalidSocket);

    ASSERT_TRUE(early.WaitCount(SockEvent::Sent, 1));
    ASSERT_TRUE(quiet.WaitCount(SockEvent::Sent, 1));
    // The early bytes reach whichever accepted handle is the early socket's.
    std::string ga, gb;
    RecvUpTo(a, &ga, 11, 300);
    RecvUpTo(b, &gb, 11, 300);
    EXPECT_EQ(ga + gb, "early bytes");

    ft.Settle();
    for (RecordingCallback* cb : {&early, &quiet}) {
        std::vector<SockEvent> ev = cb->Events();
        ASSERT_EQ(ev.size(), 2u);
        EXPECT_EQ(ev[0].kind, SockEvent::Connect);
        EXPECT_EQ(ev[0].value, 0);
        EXPECT_EQ(ev[0].thread, frameId);
        EXPECT_EQ(ev[1].kind, SockEvent::Sent);
    }

    // Read interest is in place after the connect.
    plat::socket_t earlyPeer = ga.empty() ? b : a;
    ASSERT_TRUE(SendAll(earlyPeer, "pong", 4));
    ASSERT_TRUE(early.WaitCount(SockEvent::Data, 1));
    EXPECT_EQ(early.Received(), "pong");

    CloseOnFrame(ft, early.sock);
    CloseOnFrame(ft, quiet.sock);
    plat::CloseSocket(a);
    plat::CloseSocket(b);
}

TEST(TcpConnect, RefusedPortReportsStatusOneOnce) {
    FrameThread ft;
    std::atomic<int> deleted{0};
    RecordingCallback cb;
    ASSERT_NE(ConnectCounting(&cb, UnusedPort(), ft.frame(), &deleted), nullptr);
    ASSERT_TRUE(cb.WaitCount(SockEvent::Connect, 1));
    // Bytes given to a socket that cannot connect are refused, not lost.
    EXPECT_FALSE(cb.sock.load()->Send("lost?", 5));
    ft.Settle();
    std::vector<SockEvent> ev = cb.Events();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].value, 1);
    // Kept until released, then deleted once.
    EXPECT_EQ(deleted, 0);
    CloseOnFrame(ft, cb.sock);
    EXPECT_TRUE(WaitFor([&] { return deleted == 1; }));
}

TEST(TcpConnect, UnresolvableNameGivesNullAndNoCallback) {
    FrameThread ft;
    std::atomic<int> deleted{0};
    RecordingCallback cb;
    EXPECT_EQ(ConnectCounting(&cb, 80, ft.frame(), &deleted, 1000, "no such host"), nullptr);
    // The half-made socket is gone already.
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(CreateAsyncTcpSock(&cb, "no such host", 80, 0, ft.frame()), nullptr);
    EXPECT_EQ(CreateAsyncTcpSock(&cb, "bad\x01name", 80, 1000, ft.frame()), nullptr);
    ft.Settle();
    EXPECT_EQ(cb.Total(), 0u);
}

TEST(TcpConnect, NoAnswerWithinTimeoutReportsStatusTwo) {
    FrameThread ft;
    FullBacklog full;
    RecordingCallback cb;
    auto start = std::chrono::steady_clock::now();
    ASSERT_NE(CreateClient(&cb, "127.0.0.1", full.port(), 400, ft.frame()), nullptr);
    ASSERT_TRUE(cb.WaitCount(SockEvent::Connect, 1, 10000));
    auto took = std::chrono::steady_clock::now() - start;
    std::vector<SockEvent> ev = cb.Events();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].value, 2);
    EXPECT_GE(took, std::chrono::milliseconds(300));
    CloseOnFrame(ft, cb.sock);
}

TEST(TcpConnect, IPv6LiteralsConnectWithOrWithoutBrackets) {
    FrameThread ft;
    int port = 0;
    plat::socket_t listener = ListenIPv6Loopback(0, 4, &port);
    ASSERT_NE(listener, plat::kInvalidSocket);
    for (const char* host : {"::1", "[::1]"}) {
        RecordingCallback cb;
        ASSERT_NE(CreateClient(&cb, host, port, 5000, ft.frame()), nullptr) << host;
        ASSERT_TRUE(cb.WaitCount(SockEvent::Connect, 1));
        EXPECT_EQ(cb.Events()[0].value, 0) << host;
        plat::socket_t peer = AcceptAny(listener);
        ASSERT_NE(peer, plat::kInvalidSocket);
        ASSERT_TRUE(SendAll(peer, "pong", 4));
        ASSERT_TRUE(cb.WaitCount(SockEvent::Data, 1));
        EXPECT_EQ(cb.Received(), "pong");
        CloseOnFrame(ft, cb.sock);
        plat::CloseSocket(peer);
    }
    plat::CloseSocket(listener);
}

// [::1]:P never answers (its accept queue is full) and 127.0.0.1:P accepts:
// the race goes on to the second address after the first stalls, and the
// connection is the IPv4 one.
TEST(TcpConnect, RaceGoesPastAnAddressThatNeverAnswers) {
    FrameThread ft;
    int port = 0;
    plat::socket_t stalled, answering;
    ASSERT_TRUE(ListenOnBothLoopbacks(0, 4, &stalled, &answering, &port));
    plat::NetAddress v6;
    ASSERT_TRUE(plat::ParseIPv6("::1", &v6));
    std::vector<plat::socket_t> fillers;
    FillAcceptQueue(v6, port, &fillers);

    std::atomic<int> deleted{0};
    RecordingCallback cb;
    {
        FrameGuard guard(AsBase(ft.frame()));
        cb.sock = StartBufferedConnect(new CountingSock(&cb, ft.frame(), &deleted),
                                       {v6, IPv4Address(LoopbackIp())}, port, 5000);
    }
    ASSERT_NE(cb.sock.load(), nullptr);
    ASSERT_TRUE(cb.WaitCount(SockEvent::Connect, 1, 10000));
    EXPECT_EQ(cb.Events()[0].value, 0);
    plat::socket_t peer = AcceptAny(answering);
    ASSERT_NE(peer, plat::kInvalidSocket);
    ASSERT_TRUE(SendAll(peer, "pong", 4));
    ASSERT_TRUE(cb.WaitCount(SockEvent::Data, 1));
    EXPECT_EQ(cb.Received(), "pong");
    CloseOnFrame(ft, cb.sock);
    EXPECT_TRUE(WaitFor([&] { return deleted == 1; }));
    plat::CloseSocket(peer);
    plat::CloseSocket(answering);
    for (plat::socket_t f : fillers) plat::CloseSocket(f);
    plat::CloseSocket(stalled);
}

TEST(TcpConnect, BlockingConnectReportsOnCallerUnderLockAndReceives) {
    FrameThread ft;
    RawListener peer;
    RecordingCallback cb;
    std::atomic<int> lockFreeElsewhere{-1};
    cb.after = [&](SockEvent::Kind k) {
        if (k != SockEvent::Connect) return;
        std::thread probe([&] {
            bool got = AsBase(ft.frame())->FrameLock().try_lock();
            if (got) AsBase(ft.frame())->FrameLock().unlock();
            lockFreeElsewhere = got ? 1 : 0;
        });
        probe.join();
    };
    ISock* s = CreateAsyncTcpSock(&cb, "127.0.0.1", peer.port(), 0, ft.frame());
    ASSERT_NE(s, nullptr);
    cb.sock = s;
    // Reported before the factory returned, on this thread, with the frame
    // locked against its own thread.
    std::vector<SockEvent> ev = cb.Events();
    ASSERT_GE(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, SockEvent::Connect);
    EXPECT_EQ(ev[0].value, 0);
    EXPECT_EQ(ev[0].thread, std::this_thread::get_id());
    EXPECT_EQ(lockFreeElsewhere, 0);

    // The peer's bytes arrive without a Send first.
    plat::socket_t p = peer.Accept();
    ASSERT_NE(p, plat::kInvalidSocket);
    ASSERT_TRUE(SendAll(p, "hello", 5));
    ASSERT_TRUE(cb.WaitCount(SockEvent::Data, 1));
    EXPECT_EQ(cb.Received(), "hello");
    // And it sends, from this host thread.
    EXPECT_TRUE(s->Send("back", 4));
    std::string got;
    RecvUpTo(p, &got, 4);
    EXPECT_EQ(got, "back");
    CloseOnFrame(ft, s);
    plat::CloseSocket(p);
}

TEST(TcpConnect, BlockingConnectLeavesFrameRunning) {
    FrameThread ft;
    std::unique_ptr<FullBacklog> full(new FullBacklog);
    RecordingCallback cb;
    std::atomic<bool> returned{false};
    ISock* result = nullptr;
    std::thread connector([&] {
        result = CreateAsyncTcpSock(&cb, "127.0.0.1", full->port(), 0, ft.frame());
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::atomic<bool> ran{false};
    ft.Post([&] { ran = true; });
    EXPECT_TRUE(WaitFor([&] { return bool(ran); }, 3000));
    // The connect was still waiting while the frame went on.
    EXPECT_FALSE(returned);
    // A closed listener answers the next SYN with a reset.
    full->CloseAll();
    connector.join();
    if (result) CloseOnFrame(ft, result);
}

TEST(TcpQueues, InputQueueOverflowReportsAndDeletes) {
    FrameThread ft;
    RawListener peer;
    std::atomic<int> deleted{0};
    RecordingCallback cb;
    unsigned lastLen = 0;
    bool shrank = false;
    cb.onData = [&](const char*, unsigned len) {
        if (len < lastLen) shrank = true;
        lastLen = len;
        return 0u;
    };
    ASSERT_NE(ConnectCounting(&cb, peer.port(), ft.frame(), &deleted), nullptr);
    plat::socket_t p = peer.Accept();
    ASSERT_NE(p, plat::kInvalidSocket);
    std::string blob = StreamBytes(0, kQueueLimit + 8192, 5);
    std::thread sender([&] { SendAll(p, blob.data(), blob.size()); });
    ASSERT_TRUE(cb.WaitCount(SockEvent::Error, 1, 10000));
    EXPECT_TRUE(WaitFor([&] { return deleted == 1; }));
    std::vector<SockEvent> ev = cb.Events();
    EXPECT_EQ(ev.back().kind, SockEvent::Error);
    EXPECT_EQ(ev.back().value, plat::kErrNoBufs) << "an overflow must not read as success";
    EXPECT_EQ(ev.back().text, "input buffer overflow");
    EXPECT_EQ(lastLen, kQueueLimit);
    EXPECT_FALSE(shrank);
    sender.join();
    ft.Settle();
    EXPECT_EQ(cb.Events().size(), ev.size());
    EXPECT_EQ(deleted, 1);
    plat::CloseSocket(p);
}

TEST(TcpQueues, OutputQueueTakesLimitAndRefusesOneMoreWhole) {
    FrameThread ft;
    RawListener peer;
    RecordingCallback cb;
    ASSERT_NE(CreateClient(&cb, "127.0.0.1", peer.port(), 5000, ft.frame()), nullptr);
    ASSERT_TRUE(cb.WaitCount(SockEvent::Sent, 1));
    plat::socket_t p = peer.Accept();
    ASSERT_NE(p, plat::kInvalidSocket);

    std::string blob = StreamBytes(0, kQueueLimit, 9);
    bool first = false, second = true;
    ft.RunSync([&] {
        first = cb.sock.load()->Send(blob.data(), unsigned(blob.size()));
        second = cb.sock.load()->Send("X", 1);
    });
    EXPECT_TRUE(first);
    EXPECT_FALSE(second);
    std::string got;
    RecvUpTo(p, &got, kQueueLimit + 1, 1500);
    EXPECT_EQ(got.size(), size_t(kQueueLimit));
    EXPECT_TRUE(got == blob);
    ASSERT_TRUE(cb.WaitCount(SockEvent::Sent, 2));

    // Empty and null sends are accepted and answered with OnSent.
    EXPECT_TRUE(cb.sock.load()->Send(nullptr, 5));
    ASSERT_TRUE(cb.WaitCount(SockEvent::Sent, 3));
    EXPECT_TRUE(cb.sock.load()->Send("", 0));
    ASSERT_TRUE(cb.WaitCount(SockEvent::Sent, 4));
    EXPECT_TRUE(cb.sock.load()->Send("after", 5));
    got.clear();
    RecvUpTo(p, &got, 5);
    EXPECT_EQ(got, "after");
    CloseOnFrame(ft, cb.sock);
    plat::CloseSocket(p);
}

TEST(TcpAccepted, FirstBytesArriveAsDataWithoutConnect) {
    FrameThread ft;
    RawListener peer;
    plat::socket_t c = RawConnect(peer.port());
    plat::socket_t s = peer.Accept();
    ASSERT_NE(s, plat::kInvalidSocket);
    ASSERT_TRUE(SendAll(c, "first", 5));
    RecordingCallback cb;
    cb.sock = CreateAsyncServerSock(&cb, s, ft.frame());
    ASSERT_NE(cb.sock.load(), nullptr);
    ASSERT_TRUE(cb.WaitCount(SockEvent::Data, 1));
    EXPECT_EQ(cb.Received(), "first");
    EXPECT_EQ(cb.Count(SockEvent::Connect), 0u);
    CloseOnFrame(ft, cb.sock);
    plat::CloseSocket(c);
}

TEST(TcpAccepted, PeerCloseWithOutputQueuedReportsClose) {
    FrameThread ft;
    RawListener peer;
    plat::socket_t c = RawConnect(peer.port());
    plat::socket_t s = peer.Accept();
    ASSERT_NE(s, plat::kInvalidSocket);
    plat::CloseSocket(c);
    char b;
    ASSERT_EQ(plat::Recv(s, &b, 1), 0);   // the peer's end of stream has arrived

    std::atomic<int> deleted{0};
    RecordingCallback cb;
    std::string blob = StreamBytes(0, 100000, 3);
    ft.RunSync([&] {
        cb.sock = StartBufferedAccepted(new CountingSock(&cb, ft.frame(), &deleted), s);
        EXPECT_TRUE(cb.sock.load()->Send(blob.data(), unsigned(blob.size())));
    });
    ASSERT_TRUE(cb.WaitCount(SockEvent::Close, 1));
    EXPECT_TRUE(WaitFor([&] { return deleted == 1; }));
    std::vector<SockEvent> ev = cb.Events();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, SockEvent::Close);
}

TEST(TcpAccepted, InvalidHandleIsRefusedAndReleased) {
    FrameThread ft;
    std::atomic<int> deleted{0};
    RecordingCallback cb;
    EXPECT_THROW(StartBufferedAccepted(new CountingSock(&cb, ft.frame(), &deleted), plat::kInvalidSocket),
                 std::runtime_error);
    EXPECT_EQ(deleted, 1);
}

TEST(TcpTimer, FiresOnceAndZeroCancels) {
    FrameThread ft;
    RawListener peer;
    RecordingCallback cb;
    ASSERT_NE(CreateClient(&cb, "127.0.0.1", peer.port(), 5000, ft.frame()), nullptr);
    ASSERT_TRUE(cb.WaitCount(SockEvent::Connect, 1));
    ASSERT_EQ(cb.Events()[0].value, 0);

    auto start = std::chrono::steady_clock::now();
    cb.sock.load()->SetTimer(150);   // from this host thread
    ASSERT_TRUE(cb.WaitCount(SockEvent::Timer, 1));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    ft.Settle();
    EXPECT_EQ(cb.Count(SockEvent::Timer), 1u);

    cb.sock.load()->SetTimer(200);
    cb.sock.load()->SetTimer(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(cb.Count(SockEvent::Timer), 1u);

    // Re-armed from inside a callback, it fires again.
    ft.RunSync([&] { cb.sock.load()->SetTimer(50); });
    EXPECT_TRUE(cb.WaitCount(SockEvent::Timer, 2));
    CloseOnFrame(ft, cb.sock);
}

// Close from inside each callback: nothing follows, the socket is deleted once.
class CloseInside : public ::testing::TestWithParam<SockEvent::Kind> {};

TEST_P(CloseInside, NoFurtherCallbackAndDeletedOnce) {
    const SockEvent::Kind where = GetParam();
    FrameThread ft;
    RawListener peer;
    std::atomic<int> deleted{0};
    RecordingCallback cb;
    std::atomic<bool> closed{false};
    if (where == SockEvent::Error) cb.onData = [](const char*, unsigned) { return 0u; };
    cb.after = [&](SockEvent::Kind k) {
        if (closed) return;
        if (where == SockEvent::Timer && k == SockEvent::Connect) cb.sock.load()->SetTimer(50);
        if (k == where) {
            closed = true;
            cb.sock.load()->Close();
        }
    };
    ASSERT_NE(ConnectCounting(&cb, peer.port(), ft.frame(), &deleted), nullptr);
    plat::socket_t p = peer.Accept();
    ASSERT_NE(p, plat::kInvalidSocket);

    std::thread sender;
    std::string blob = StreamBytes(0, kQueueLimit + 8192, 4);
    if (where == SockEvent::Data) {
        ASSERT_TRUE(cb.WaitCount(SockEvent::Sent, 1));
        ASSERT_TRUE(SendAll(p, "abc", 3));
    } else if (where == SockEvent::Close) {
        ASSERT_TRUE(cb.WaitCount(SockEvent::Sent, 1));
        plat::CloseSocket(p);
        p = plat::kInvalidSocket;
    } else if (where == SockEvent::Error) {
        sender = std::thread([&] { SendAll(p, blob.data(), blob.size()); });
    }

    ASSERT_TRUE(WaitFor([&] { return bool(closed); }, 10000));
    EXPECT_TRUE(WaitFor([&] { return deleted >= 1; }));
    size_t seen = cb.Total();
    // Anything the peer does now must go unreported.
    if (p != plat::kInvalidSocket && where != SockEvent::Error) SendAll(p, "more", 4);
    ft.Settle();
    EXPECT_EQ(cb.Total(), seen);
    EXPECT_EQ(cb.Events().back().kind, where);
    EXPECT_EQ(deleted, 1);
    if (sender.joinable()) sender.join();
    if (p != plat::kInvalidSocket) plat::CloseSocket(p);
}

std::string CallbackName(const ::testing::TestParamInfo<SockEvent::Kind>& info) {
    static const char* const kNames[] = {"OnConnect", "OnClose", "OnError", "OnTimer", "OnData", "OnSent"};
    return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(EachCallback, CloseInside,
                         ::testing::Values(SockEvent::Connect, SockEvent::Sent, SockEvent::Data, SockEvent::Timer,
                                           SockEvent::Close, SockEvent::Error),
                         CallbackName);

TEST(TcpRelease, CloseFromHostThreadDeletesOnceAtCleanup) {
    FrameThread ft(-1);   // no time limit: the release itself must wake it
    RawListener peer;
    std::atomic<int> deleted{0};
    RecordingCallback cb;
    ASSERT_NE(ConnectCounting(&cb, peer.port(), ft.frame(), &deleted), nullptr);
    ASSERT_TRUE(cb.WaitCount(SockEvent::Sent, 1));
    plat::socket_t p = peer.Accept();
    {
        // The release wakes the frame at once; held, both come in one cycle.
        FrameGuard guard(AsBase(ft.frame()));
        cb.sock.load()->Close();
        cb.sock.load()->Close();   // a second release in the same cycle is harmless
    }
    EXPECT_TRUE(WaitFor([&] { return deleted == 1; }));
    // The handle was closed: the peer sees end of stream.
    std::string got;
    EXPECT_EQ(RecvUpTo(p, &got, 1), 0);
    ft.Settle();
    EXPECT_EQ(deleted, 1);
    plat::CloseSocket(p);
}

TEST(Sockethelper, SelfConnectionIsRefused) {
    Sockethelper h;
    h.sock = plat::OpenSocket(true);
    ASSERT_NE(h.sock, plat::kInvalidSocket);
    h.Bind(0, "127.0.0.1");
    int port = 0;
    h.GetLocal(&port);
    ASSERT_GT(port, 0);
    try {
        h.Connect(LoopbackIp(), port);
        ADD_FAILURE() << "connected to itself";
    } catch (const socket_error& e) {
        EXPECT_STREQ(e.what(), "dereism connection found");
        EXPECT_EQ(e.code(), 0);
    }
    EXPECT_EQ(h.flags & SF_CONNECTED, 0u);
}

// What a callback's Send queued leaves before the next ready socket is
// served: with many sockets ready at once, the peers get their replies while
// the frame is still reading, not after the whole batch. A frame that
// batches its calls reads a round of sockets with one call, and the round's
// replies leave together at its end, before the next round is read.
class ReplyAndLook : public IASockCallback {
public:
    ISock* sock = nullptr;
    const ReplyAndLook* other = nullptr;
    std::atomic<int> otherQueued{-1};
    unsigned OnData(const char*, unsigned len) override {
        otherQueued = int(static_cast<const BufferedSock*>(other->sock)->QueuedOutput());
        sock->Send("reply", 5);
        return len;
    }
    void OnConnect(int) override {}
    void OnClose() override {}
    void OnError(int, const char*) override {}
    void OnTimer() override {}
    void OnSent() override {}
};

TEST(TcpQueues, AReplyLeavesBeforeTheNextReadySocketIsServed) {
    FrameThread ft;
    plat::socket_t a, pa, b, pb;
    ASSERT_TRUE(testing_support::ConnectedPair(&a, &pa));
    ASSERT_TRUE(testing_support::ConnectedPair(&b, &pb));
    ReplyAndLook first, second;
    first.other = &second;
    second.other = &first;
    ft.RunSync([&] {
        first.sock = CreateAsyncServerSock(&first, a, ft.frame());
        second.sock = CreateAsyncServerSock(&second, b, ft.frame());
    });
    // Both peers write from the frame's own thread, between two waits: the
    // next wait finds both sockets ready.
    ft.RunSync([&] {
        ASSERT_TRUE(SendAll(pa, "x", 1));
        ASSERT_TRUE(SendAll(pb, "y", 1));
    });
    ASSERT_TRUE(WaitFor([&] { return first.otherQueued >= 0 && second.otherQueued >= 0; }));
    bool batching = false;
    ft.RunSync([&] { batching = static_cast<SelSelector*>(ft.frame())->Batching(); });
    if (batching) {
        // One of the two was served first; its reply was still queued when
        // the other was served, and both left at the round's end.
        EXPECT_EQ(5, first.otherQueued.load() + second.otherQueued.load());
        for (plat::socket_t peer : {pa, pb}) {
            std::string got;
            EXPECT_EQ(5, RecvUpTo(peer, &got, 5)) << "no reply";
        }
    } else {
        EXPECT_EQ(0, first.otherQueued.load());
        EXPECT_EQ(0, second.otherQueued.load());
    }
    CloseOnFrame(ft, first.sock);
    CloseOnFrame(ft, second.sock);
    plat::CloseSocket(pa);
    plat::CloseSocket(pb);
}

// Sockets ready together are read together (one call where the frame
// batches): each still gets what its own receive found, bytes, the end of
// the stream, or a reset with its code.
TEST(TcpQueues, SocketsReadyTogetherEachGetTheirOwnOutcome) {
    FrameThread ft;
    plat::socket_t s[3], peer[3];
    RecordingCallback cb[3];
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(testing_support::ConnectedPair(&s[i], &peer[i]));
    ft.RunSync([&] {
        for (int i = 0; i < 3; ++i) cb[i].sock = CreateAsyncServerSock(&cb[i], s[i], ft.frame());
    });
    // From the frame's own thread, between two waits: the next wait finds
    // all three ready.
    ft.RunSync([&] {
        ASSERT_TRUE(SendAll(peer[0], "abc", 3));
        plat::CloseSocket(peer[1]);
        testing_support::ResetOnClose(peer[2]);
        plat::CloseSocket(peer[2]);
    });
    ASSERT_TRUE(cb[0].WaitCount(SockEvent::Data, 1));
    ASSERT_TRUE(cb[1].WaitCount(SockEvent::Close, 1));
    ASSERT_TRUE(WaitFor([&] { return cb[2].Total() > 0; }));
    EXPECT_EQ("abc", cb[0].Received());
    EXPECT_EQ(0u, cb[0].Count(SockEvent::Close) + cb[0].Count(SockEvent::Error));
    EXPECT_EQ(0u, cb[1].Count(SockEvent::Data) + cb[1].Count(SockEvent::Error));
    // Linux reports the reset to the receive; wine's sockets report the
    // end of the stream.
    std::vector<SockEvent> reset = cb[2].Events();
    ASSERT_EQ(1u, reset.size());
    if (reset[0].kind == SockEvent::Error) {
        EXPECT_EQ(plat::kErrConnReset, reset[0].value);
        EXPECT_NE(std::string::npos, reset[0].text.find("recv")) << reset[0].text;
    } else {
        EXPECT_EQ(SockEvent::Close, reset[0].kind);
    }
    CloseOnFrame(ft, cb[0].sock);
    plat::CloseSocket(peer[0]);
}
