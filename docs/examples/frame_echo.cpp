// Async sockets on a frame of the host's own: a listener that echoes every
// connection, and a client that sends one message and waits for its echo.
// Returns what came back; on failure the reason in *error.
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <vemnet/vemnet.h>

namespace guide {

// One accepted connection; every call comes on the frame's thread.
class EchoSide : public IASockCallback {
public:
    ISock* sock = nullptr;
    void OnConnect(int) override {}   // accepted sockets never get it
    // The socket deletes itself right after these two: forget it.
    void OnClose() override { sock = nullptr; }
    void OnError(int, const char*) override { sock = nullptr; }
    void OnTimer() override {}
    unsigned OnData(const char* data, unsigned len) override {
        // Taken only when the output queue has room for all of it; otherwise
        // it stays in the input queue and is offered again on the next read.
        return sock && sock->Send(data, len) ? len : 0;
    }
    void OnSent() override {}
};

// The acceptor. It owns the callbacks of the accepted sockets; the frame
// thread is the only one to touch `sides` until the frame has stopped.
class EchoServer : public IAServerCallback {
public:
    std::vector<std::unique_ptr<EchoSide>> sides;
    void OnAccept(IAsyncSelector* frame, vemnet_socket_t s, unsigned ip, int port) override {
        std::unique_ptr<EchoSide> side(new EchoSide);
        // From here on the socket owns the handle, also when this fails.
        side->sock = CreateAsyncServerSock(side.get(), s, frame);
        if (side->sock) sides.push_back(std::move(side));
    }
};

// The client. Its socket is touched on the frame's thread only: the pointer
// stops being valid when OnClose or OnError returns, and only that thread
// knows when that is.
class ClientSide : public IASockCallback {
public:
    ISock* sock = nullptr;   // frame thread only
    std::mutex m;            // guards what the host's thread reads
    std::condition_variable cv;
    int status = -1;         // OnConnect's status; -1 none yet
    bool gone = false;
    std::string received;

    void OnConnect(int s) override {
        std::lock_guard<std::mutex> g(m);
        status = s;
        cv.notify_all();
    }
    void OnClose() override { Gone(); }
    void OnError(int, const char*) override { Gone(); }
    void OnTimer() override {}
    unsigned OnData(const char* data, unsigned len) override {
        std::lock_guard<std::mutex> g(m);
        received.append(data, len);
        cv.notify_all();
        return len;   // all consumed
    }
    void OnSent() override {}

    // The socket is gone, or never came.
    void Gone() {
        sock = nullptr;
        std::lock_guard<std::mutex> g(m);
        gone = true;
        cv.notify_all();
    }
};

// Connects the client and queues the message; runs on the frame's thread.
class StartClientTask : public INetTask {
public:
    StartClientTask(IAsyncSelector* frame, ClientSide* client, int port, std::string message)
        : frame_(frame), client_(client), port_(port), message_(std::move(message)) {}
    void Run() override {
        client_->sock = CreateAsyncTcpSock(client_, "127.0.0.1", port_, 3000, frame_);
        // Queued now, written once the connect completed.
        if (client_->sock) {
            client_->sock->Send(message_.data(), unsigned(message_.size()));
        } else {
            client_->Gone();
        }
    }
    void OnError(int, const char*) override { delete this; }   // the frame does not, then

private:
    IAsyncSelector* frame_;
    ClientSide* client_;
    int port_;
    std::string message_;
};

// Runs at the start of a cycle: whatever it closes is deleted by that
// cycle's cleanup, before the stopped loop returns.
class ShutdownTask : public INetTask {
public:
    ShutdownTask(IAsyncSelector* frame, IServerSock* listener, EchoServer* server, ClientSide* client)
        : frame_(frame), listener_(listener), server_(server), client_(client) {}
    void Run() override {
        // Sockets are never deleted by their users: Close releases them,
        // also after a failed connect.
        if (client_->sock) client_->sock->Close();
        client_->sock = nullptr;
        for (auto& side : server_->sides) {
            if (side->sock) side->sock->Close();
            side->sock = nullptr;
        }
        listener_->Close();
        frame_->Stop();
    }
    void OnError(int, const char*) override { delete this; }

private:
    IAsyncSelector* frame_;
    IServerSock* listener_;
    EchoServer* server_;
    ClientSide* client_;
};

std::string EchoOnOwnFrame(const std::string& message, std::string* error) {
    // A frame whose wait lasts at most 50 ms, driven by a thread of ours.
    IAsyncSelector* frame = CreateAsyncFrame(0, 50);
    if (!frame) {
        *error = "no frame";
        return std::string();
    }
    std::thread loop([frame] { frame->Run(); });

    // Callback objects belong to the host and outlive the frame's use.
    EchoServer server;
    ClientSide client;
    // Any thread may create sockets: the factory takes the frame's lock.
    IServerSock* listener = CreateAsyncServer(&server, 0, frame, "127.0.0.1", SERVER_REUSEADDR | SERVER_NONBLOCKING);
    if (!listener) *error = "listen failed";   // the reason is logged

    std::string result;
    if (listener) {
        AddAsyncNetTask(new StartClientTask(frame, &client, listener->GetLocalPort(), message), 0, frame);
        {
            std::unique_lock<std::mutex> g(client.m);
            client.cv.wait_for(g, std::chrono::seconds(10), [&] {
                return client.received.size() >= message.size() || client.gone || client.status > 0;
            });
            result = client.received;
            if (client.status > 0) {
                *error = "OnConnect(" + std::to_string(client.status) + ")";
            } else if (result.size() < message.size()) {
                *error = "no echo";
            }
        }
        AddAsyncNetTask(new ShutdownTask(frame, listener, &server, &client), 0, frame);
    } else {
        frame->Stop();
    }
    loop.join();
    delete frame;   // only after Run has returned
    return result;
}

}  // namespace guide
