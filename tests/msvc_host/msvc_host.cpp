// A host built as Visual C++ builds it (clang in the MSVC ABI, no C++
// standard library), compiled against include/ alone and linked to the
// MinGW-built vemnet.dll. It calls every slot of every interface with real
// traffic on loopback and checks what comes back.
//
// Environment (from tests/peers/with-peers.sh): VEMNET_SQUID_BASIC_PORT,
// VEMNET_PROXY_USER, VEMNET_PROXY_PASSWORD, VEMNET_SESSION_SERVER_PORT;
// VEMNET_SYSTEM_PROXY_PORT, the proxy the run script wrote into this wine
// prefix's system setting.
#include <winsock2.h>
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vemnet/vemnet.h"

using namespace VemNetwork;

namespace {

int g_passed = 0, g_failed = 0;

#define CHECK(cond)                                                    \
    do {                                                               \
        if (cond) {                                                    \
            ++g_passed;                                                \
        } else {                                                       \
            ++g_failed;                                                \
            printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #cond);   \
        }                                                              \
    } while (0)

// Polls cond every millisecond for at most ms.
template <class Cond>
bool WaitFor(Cond cond, unsigned ms = 10000) {
    ULONGLONG end = GetTickCount64() + ms;
    while (!cond()) {
        if (GetTickCount64() > end) return cond();
        Sleep(1);
    }
    return true;
}

int EnvInt(const char* name) {
    const char* v = getenv(name);
    return v ? atoi(v) : 0;
}

// Wide copy of an ASCII environment value (user names and passwords here).
void EnvWide(const char* name, wchar_t* out, size_t room) {
    const char* v = getenv(name);
    size_t i = 0;
    for (; v && v[i] && i + 1 < room; ++i) out[i] = wchar_t(v[i]);
    out[i] = L'\0';
}

// ---- frame and tasks --------------------------------------------------------

volatile LONG g_tasksRun = 0, g_tasksDeleted = 0, g_taskErrors = 0;
char g_order[16];
volatile LONG g_orderLength = 0;

class MarkTask : public INetTask {
public:
    explicit MarkTask(char mark) : mark_(mark) {}
    ~MarkTask() { InterlockedIncrement(&g_tasksDeleted); }   // through slot 0
    void Run() override {
        LONG i = InterlockedIncrement(&g_orderLength) - 1;
        if (i < LONG(sizeof g_order)) g_order[i] = mark_;
        InterlockedIncrement(&g_tasksRun);
    }
    void OnError(int, const char*) override { InterlockedIncrement(&g_taskErrors); }

private:
    char mark_;
};

class ThrowingTask : public INetTask {
public:
    void Run() override { throw 42; }   // an exception of this compiler's
    void OnError(int, const char*) override { InterlockedIncrement(&g_taskErrors); }
};

DWORD WINAPI RunFrame(void* frame) {
    static_cast<IAsyncSelector*>(frame)->Run();
    return 0;
}

void TestFrame(IAsyncSelector* frame) {
    CHECK(frame->IsRunning());
    frame->Reserved(7);
    // Queued before the frame runs: front 1 goes to the head, 0 and 2 to the tail.
    frame->AddTask(new MarkTask('a'), 0);
    frame->AddTask(new MarkTask('b'), 2);
    frame->AddTask(new MarkTask('c'), 1);
    CHECK(AddAsyncNetTask(new MarkTask('d'), 0, frame));
}

void CheckFrameTasks() {
    CHECK(WaitFor([] { return g_tasksRun >= 4 && g_tasksDeleted >= 4; }));
    CHECK(memcmp(g_order, "cabd", 4) == 0);
    // The default frame, started by the library on first use.
    CHECK(AddAsyncNetTask(new MarkTask('e'), 0, nullptr));
    CHECK(WaitFor([] { return g_tasksRun >= 5 && g_tasksDeleted >= 5; }));
}

// ---- sockets ----------------------------------------------------------------

IAsyncSelector* g_frame = nullptr;
volatile LONG g_serverSockets = 0;

// The server side of every accepted connection: echoes, closes on "bye",
// and answers "flood" with more than the client's input queue can hold.
class EchoServerSide final : public IASockCallback {
public:
    ISock* sock = nullptr;
    void OnConnect(int) override {}
    void OnClose() override { delete this; }
    void OnError(int, const char*) override { delete this; }
    void OnTimer() override {}
    void OnSent() override {
        if (flooding_ > 0) Flood();
    }
    unsigned OnData(const char* data, unsigned len) override {
        if (len == 3 && memcmp(data, "bye", 3) == 0) {
            sock->Close();   // no callback follows: the object goes with it
            delete this;
            return len;
        }
        if (len == 5 && memcmp(data, "flood", 5) == 0) {
            flooding_ = 320;   // 320 KiB, more than the 256 KiB queue
            Flood();
            return len;
        }
        return sock->Send(data, len) ? len : 0;
    }

private:
    void Flood() {
        static char block[1024];
        while (flooding_ > 0 && sock->Send(block, sizeof block)) --flooding_;
    }
    int flooding_ = 0;
};

class Acceptor : public IAServerCallback {
public:
    void OnAccept(IAsyncSelector* frame, vemnet_socket_t s, unsigned, int) override {
        EchoServerSide* side = new EchoServerSide;
        side->sock = CreateAsyncServerSock(side, s, frame);
        if (side->sock) {
            InterlockedIncrement(&g_serverSockets);
        } else {
            delete side;
        }
    }
};

enum { kConnect, kClose, kError, kTimer, kData, kSent, kKinds };

class ClientSide final : public IASockCallback {
public:
    ISock* sock = nullptr;
    volatile LONG counts[kKinds] = {};
    volatile LONG connectStatus = -1, errorCode = -1;
    bool consume = true;
    char received[64];
    volatile LONG receivedLength = 0;

    void OnConnect(int status) override {
        connectStatus = status;
        InterlockedIncrement(&counts[kConnect]);
    }
    void OnClose() override { InterlockedIncrement(&counts[kClose]); }
    void OnError(int code, const char*) override {
        errorCode = code;
        InterlockedIncrement(&counts[kError]);
    }
    void OnTimer() override { InterlockedIncrement(&counts[kTimer]); }
    void OnSent() override { InterlockedIncrement(&counts[kSent]); }
    unsigned OnData(const char* data, unsigned len) override {
        InterlockedIncrement(&counts[kData]);
        if (!consume) return 0;
        unsigned n = len < sizeof received ? len : unsigned(sizeof received);
        memcpy(received, data, n);
        receivedLength = LONG(n);
        return len;
    }
};

// A socket of type bound to a free port on 127.0.0.1; *port tells which.
SOCKET BoundLoopback(int type, int* port) {
    SOCKET s = socket(AF_INET, type, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return s;
}

// A port on 127.0.0.1 where nothing listens.
int UnusedPort() {
    int port = 0;
    closesocket(BoundLoopback(SOCK_STREAM, &port));
    return port;
}

void TestSockets(int port) {
    // OnConnect(0), OnSent, OnData, OnTimer, then the peer closes: OnClose.
    ClientSide* c = new ClientSide;
    c->sock = CreateAsyncTcpSock(c, "127.0.0.1", port, 3000, g_frame);
    CHECK(c->sock != nullptr);
    CHECK(WaitFor([&] { return c->counts[kConnect] == 1; }));
    CHECK(c->connectStatus == 0);
    CHECK(WaitFor([&] { return c->counts[kSent] >= 1; }));
    CHECK(c->sock->Send("ping", 4));
    CHECK(WaitFor([&] { return c->receivedLength == 4; }));
    CHECK(memcmp(c->received, "ping", 4) == 0);
    c->sock->SetTimer(30);
    CHECK(WaitFor([&] { return c->counts[kTimer] == 1; }));
    CHECK(c->sock->Send("bye", 3));
    CHECK(WaitFor([&] { return c->counts[kClose] == 1; }));
    // The socket deleted itself after OnClose; the callback is ours.
    delete c;

    // OnConnect(1): nobody listens; Send is refused afterwards, and Close releases it.
    ClientSide refused;
    refused.sock = CreateAsyncTcpSock(&refused, "127.0.0.1", UnusedPort(), 3000, g_frame);
    CHECK(refused.sock != nullptr);
    CHECK(WaitFor([&] { return refused.counts[kConnect] == 1; }));
    CHECK(refused.connectStatus == 1);
    CHECK(!refused.sock->Send("x", 1));
    refused.sock->Close();

    // OnError: the input queue overflows while nothing is consumed.
    ClientSide flooded;
    flooded.consume = false;
    flooded.sock = CreateAsyncTcpSock(&flooded, "127.0.0.1", port, 3000, g_frame);
    CHECK(WaitFor([&] { return flooded.counts[kConnect] == 1; }));
    CHECK(flooded.sock->Send("flood", 5));
    CHECK(WaitFor([&] { return flooded.counts[kError] == 1; }));
    CHECK(flooded.errorCode == 10055);
}

void TestUdp() {
    int port = 0;
    SOCKET r = BoundLoopback(SOCK_DGRAM, &port);
    IUDPSock* u = CreateAsyncUdpSock(nullptr, "127.0.0.1", port, 0, g_frame);
    CHECK(u != nullptr);
    if (!u) return;
    u->SetTimer(10);   // a UDP socket has no timer: nothing happens
    CHECK(u->SendTo("datagram", 8, htonl(INADDR_LOOPBACK), port) == 8);
    char buf[16] = {};
    DWORD timeout = 5000;
    setsockopt(r, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    CHECK(recv(r, buf, sizeof buf, 0) == 8 && memcmp(buf, "datagram", 8) == 0);
    u->Close();
    closesocket(r);
}

// ---- connections ------------------------------------------------------------

class XorCodec : public INetCodec {
public:
    void Transform(char* out, const char* in, int length) override {
        for (int i = 0; i < length; ++i) out[i] = char(in[i] ^ 0x5a);
    }
};

class ConnEvents : public INetConnCallback {
public:
    volatile LONG connected = -1, errors = 0, closes = 0, sent = 0, timeouts = 0, received = 0;
    char data[256];
    void OnConnect(int result) override { connected = result; }
    int OnData(const char* bytes, int length) override {
        int room = int(sizeof data) - int(received);
        int n = length < room ? length : room;
        memcpy(data + received, bytes, size_t(n));
        received += n;
        return length;
    }
    void OnSent() override { InterlockedIncrement(&sent); }
    void OnTimeout() override { InterlockedIncrement(&timeouts); }
    void OnClose() override { InterlockedIncrement(&closes); }
    void OnError(int) override { InterlockedIncrement(&errors); }
};

// Connects, sends "hello" and expects it back (the echo server transforms
// nothing; with a codec both ways cancel out).
void EchoOver(INetConn* conn, ConnEvents* ev, int port, ProxyInfo* proxy) {
    CHECK(conn->Connect(L"127.0.0.1", port, 5000, proxy) == NETCONN_OK);
    CHECK(WaitFor([&] { return ev->connected != -1; }));
    CHECK(ev->connected == NETCONN_OK);
    CHECK(conn->IsConnected());
    CHECK(conn->Send("hello", 5) == NETCONN_OK);
    CHECK(WaitFor([&] { return ev->received >= 5; }));
    CHECK(memcmp(ev->data, "hello", 5) == 0);
}

void TestTcpConnections(int echoPort) {
    XorCodec codec;
    // Direct, through a codec.
    {
        ConnEvents ev;
        INetConn* conn = nullptr;
        CHECK(CreateBaseConn(&conn, &ev, &codec) == &conn);
        CHECK(conn != nullptr);
        conn->SetCallback(&ev);
        conn->SetCodec(&codec);
        CHECK(conn->SetTimeout(1000) == NETCONN_NOT_CONNECTED);
        EchoOver(conn, &ev, echoPort, nullptr);
        CHECK(conn->SetTimeout(30) == NETCONN_OK);
        CHECK(WaitFor([&] { return ev.timeouts == 1; }));
        CHECK(ev.sent >= 1);
        conn->Close();
        CHECK(!conn->IsConnected());
        delete conn;   // slot 0
    }
    // Through squid with Basic authentication.
    int squid = EnvInt("VEMNET_SQUID_BASIC_PORT");
    CHECK(squid > 0);
    if (squid > 0) {
        ConnEvents ev;
        INetConn* conn = nullptr;
        CreateBaseConn(&conn, &ev, nullptr);
        ProxyInfo p;
        p.type = PROXY_HTTP;
        p.host = L"127.0.0.1";
        p.port = squid;
        wchar_t user[64], password[64];
        EnvWide("VEMNET_PROXY_USER", user, 64);
        EnvWide("VEMNET_PROXY_PASSWORD", password, 64);
        p.user = user;
        p.password = password;
        EchoOver(conn, &ev, echoPort, &p);
        CHECK(conn->Send("bye", 3) == NETCONN_OK);   // the echo server closes
        CHECK(WaitFor([&] { return ev.closes == 1; }));
        delete conn;
    }
    // The system's setting: the record comes back rewritten with the proxy
    // the setting names.
    int system = EnvInt("VEMNET_SYSTEM_PROXY_PORT");
    CHECK(system > 0);
    if (system > 0) {
        ConnEvents ev;
        INetConn* conn = nullptr;
        CreateBaseConn(&conn, &ev, nullptr);
        ProxyInfo p;
        p.type = PROXY_SYSTEM;
        EchoOver(conn, &ev, echoPort, &p);
        CHECK(p.type == PROXY_HTTP);
        CHECK(p.host == L"127.0.0.1");
        CHECK(p.port == system);
        CHECK(wcscmp(p.host.c_str(), L"127.0.0.1") == 0);
        delete conn;
    }
}

// The climbing connection: the target answers, so the direct step carries it.
void TestAutoConnection(int echoPort) {
    ConnEvents ev;
    INetConn* conn = nullptr;
    CHECK(CreateAutoConn(&conn, &ev, nullptr, L"http://[") == nullptr && conn == nullptr);
    CHECK(CreateAutoConn(&conn, &ev, nullptr, L"http://127.0.0.1:9/") == &conn);
    if (!conn) return;
    EchoOver(conn, &ev, echoPort, nullptr);
    delete conn;
}

void TestHttpConnection() {
    int port = EnvInt("VEMNET_SESSION_SERVER_PORT");
    CHECK(port > 0);
    if (port <= 0) return;
    wchar_t url[128];
    swprintf(url, 128, L"http://127.0.0.1:%d/msvc-host", port);
    const WideStringPair params[] = {{L"client", L"msvc"}, {L"build", L"clang"}};
    ConnEvents ev;
    IHttpConn* conn = nullptr;
    CreateHttpConn(&conn, &ev, url, L"POST", 20, 200, L"X-Host: msvc\r\n", WideStringMap(params, 2),
                   ByteStringView("unused", 6), nullptr);
    CHECK(conn != nullptr);
    if (!conn) return;
    conn->AddParam(L"more", L"yes");
    conn->SetVerb(L"POST");
    conn->SetHeaders(L"X-Host: msvc\r\n");
    conn->SetData("unused", 6);
    conn->SetPollInterval(20, 200);
    CHECK(conn->SetUrl(url));
    CHECK(conn->Connect(L"127.0.0.1", port, 10000, nullptr) == NETCONN_OK);
    CHECK(WaitFor([&] { return ev.connected != -1; }));
    CHECK(ev.connected == NETCONN_OK);
    CHECK(conn->Send("over http", 9) == NETCONN_OK);
    CHECK(WaitFor([&] { return ev.received >= 9; }, 20000));
    CHECK(memcmp(ev.data, "over http", 9) == 0);
    CHECK(ev.sent >= 1);
    conn->Close();
    delete conn;

    // A status other than 200: OnError(6).
    swprintf(url, 128, L"http://127.0.0.1:%d/status/500/msvc-host", port);
    ConnEvents failing;
    CreateHttpConn(&conn, &failing, url, L"POST", 20, 200, L"", WideStringMap(), ByteStringView(), nullptr);
    CHECK(conn != nullptr);
    if (!conn) return;
    CHECK(conn->Connect(L"127.0.0.1", port, 10000, nullptr) == NETCONN_OK);
    CHECK(WaitFor([&] { return failing.errors >= 1; }));
    delete conn;
}

}  // namespace

// What an exception of this compiler's does when a task lets it escape into
// the MinGW-built library: nothing there can catch it, so the process ends
// (the run script checks that it does, and the guide says so).
int ThrowIntoLibrary() {
    IAsyncSelector* frame = CreateAsyncFrame(0, 20);
    frame->AddTask(new ThrowingTask, 0);
    frame->AddTask(new MarkTask('z'), 0);
    HANDLE runner = CreateThread(nullptr, 0, RunFrame, frame, 0, nullptr);
    WaitFor([] { return g_tasksRun >= 1 || g_taskErrors >= 1; }, 5000);
    printf("the frame survived a host exception: task errors %ld\n", long(g_taskErrors));
    frame->Stop();
    WaitForSingleObject(runner, 10000);
    return 0;
}

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);   // every line, whatever stdout is
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    if (argc > 1 && strcmp(argv[1], "--throw-into-library") == 0) return ThrowIntoLibrary();

    // A frame of the host's own, driven by a thread of the host's.
    g_frame = CreateAsyncFrame(0, 20);
    CHECK(g_frame != nullptr);
    CHECK(CreateAsyncFrame(1, 20) == nullptr);
    if (!g_frame) return 1;
    TestFrame(g_frame);
    HANDLE runner = CreateThread(nullptr, 0, RunFrame, g_frame, 0, nullptr);
    CheckFrameTasks();


    Acceptor acceptor;
    IServerSock* listener = CreateAsyncServer(&acceptor, 0, g_frame, "127.0.0.1", SERVER_REUSEADDR | SERVER_NONBLOCKING);
    CHECK(listener != nullptr);
    if (listener) {
        int port = listener->GetLocalPort();
        CHECK(port > 0);
        // A port in use: a failure, not a crash.
        CHECK(CreateAsyncServer(&acceptor, port, g_frame, "127.0.0.1", 0) == nullptr);
        TestSockets(port);
        TestUdp();
        TestTcpConnections(port);
        TestAutoConnection(port);
        TestHttpConnection();
        listener->Close();
    }

    g_frame->Stop();
    WaitForSingleObject(runner, 10000);
    CHECK(!g_frame->IsRunning());
    delete g_frame;   // slot 0

    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
