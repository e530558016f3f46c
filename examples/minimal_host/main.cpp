// The smallest useful host: a task on the library's frame, then a TCP
// connection to an echo server that the same frame runs on 127.0.0.1.
// Prints what came back and exits 0, or says what failed and exits 1.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>

#include <vemnet/vemnet.h>

namespace {

std::mutex lock;
std::condition_variable changed;
bool taskRan = false;
int connectResult = -1;
std::string echoed;

template <class Cond>
bool WaitFor(Cond cond) {
    std::unique_lock<std::mutex> g(lock);
    return changed.wait_for(g, std::chrono::seconds(10), cond);
}

// Runs on the default frame's thread; the frame deletes it afterwards.
class HelloTask : public INetTask {
public:
    void Run() override {
        std::lock_guard<std::mutex> g(lock);
        taskRan = true;
        changed.notify_all();
    }
    void OnError(int, const char*) override {}
};

// The server side: each accepted connection echoes what it receives.
class EchoSide : public IASockCallback {
public:
    ISock* sock = nullptr;   // frame thread only
    bool gone = false;
    void OnConnect(int) override {}
    void OnClose() override { Gone(); }
    void OnError(int, const char*) override { Gone(); }
    void OnTimer() override {}
    unsigned OnData(const char* data, unsigned len) override {
        // Everything that fits goes back; the rest waits for the next call.
        return sock && sock->Send(data, len) ? len : 0;
    }
    void OnSent() override {}

private:
    // The socket deletes itself after this call.
    void Gone() {
        sock = nullptr;
        std::lock_guard<std::mutex> g(lock);
        gone = true;
        changed.notify_all();
    }
};

class Acceptor : public IAServerCallback {
public:
    EchoSide side;
    void OnAccept(IAsyncSelector* frame, vemnet_socket_t s, unsigned, int) override {
        side.sock = CreateAsyncServerSock(&side, s, frame);
    }
};

// The client side: a connection's events, on the frame's thread.
class Client : public VemNetwork::INetConnCallback {
public:
    void OnConnect(int result) override {
        std::lock_guard<std::mutex> g(lock);
        connectResult = result;
        changed.notify_all();
    }
    int OnData(const char* data, int length) override {
        std::lock_guard<std::mutex> g(lock);
        echoed.append(data, size_t(length));
        changed.notify_all();
        return length;
    }
    void OnSent() override {}
    void OnTimeout() override {}
    void OnClose() override {}
    void OnError(int code) override { std::fprintf(stderr, "connection error %d\n", code); }
};

}  // namespace

int main() {
    if (!AddAsyncNetTask(new HelloTask, 0, nullptr) || !WaitFor([] { return taskRan; })) {
        std::fprintf(stderr, "the frame did not run a task\n");
        return 1;
    }
    std::printf("task ran on the default frame\n");

    static Acceptor acceptor;
    IServerSock* server = nullptr;
    try {
        server = CreateAsyncServer(&acceptor, 0, nullptr, "127.0.0.1", SERVER_REUSEADDR | SERVER_NONBLOCKING);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot listen: %s\n", e.what());
        return 1;
    }
    int port = server->GetLocalPort();

    static Client client;
    VemNetwork::INetConn* conn = nullptr;
    CreateBaseConn(&conn, &client, nullptr);
    const std::string message = "hello vemnet";
    if (!conn || conn->Connect(L"127.0.0.1", port, 5000, nullptr) != VemNetwork::NETCONN_OK ||
        conn->Send(message.data(), int(message.size())) != VemNetwork::NETCONN_OK) {
        std::fprintf(stderr, "cannot connect to 127.0.0.1:%d\n", port);
        return 1;
    }
    bool back = WaitFor([&] { return echoed.size() >= message.size() || (connectResult > 0); });
    // The host owns connections and deletes them; sockets are closed, never deleted.
    delete conn;
    server->Close();
    // Let the server side see the close, so that no socket of this program
    // is left with callbacks in objects that exit destroys.
    WaitFor([] { return acceptor.side.gone; });
    if (!back || echoed != message) {
        std::fprintf(stderr, "no echo (connect result %d)\n", connectResult);
        return 1;
    }
    std::printf("echo: %s\n", echoed.c_str());
    return 0;
}
