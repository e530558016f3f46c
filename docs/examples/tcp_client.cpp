// A TCP connection: connect (directly or through a proxy), send one message,
// wait until as many bytes came back, close. Returns what came back; on
// failure, what came back so far and the reason in *error ("OnConnect(4)",
// "OnError(6)", ...).
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include <vemnet/vemnet.h>

namespace guide {

// Every call of this object comes on the default frame's thread; the
// host's thread only waits. The mutex guards what both threads read, and
// the host never holds it while calling into the library: the frame thread
// takes it inside the frame's lock.
class EchoClient : public VemNetwork::INetConnCallback {
public:
    std::mutex m;
    std::condition_variable cv;
    int connectResult = -1;   // -1: no answer yet
    int errorCode = -1;       // -1: no error
    bool closed = false;
    std::string received;

    void OnConnect(int result) override {
        std::lock_guard<std::mutex> g(m);
        connectResult = result;
        cv.notify_all();
    }
    int OnData(const char* data, int length) override {
        std::lock_guard<std::mutex> g(m);
        received.append(data, size_t(length));
        cv.notify_all();
        return length;   // all consumed; what is not is offered again
    }
    void OnSent() override {}
    void OnTimeout() override {}
    void OnClose() override {
        std::lock_guard<std::mutex> g(m);
        closed = true;
        cv.notify_all();
    }
    void OnError(int code) override {
        std::lock_guard<std::mutex> g(m);
        errorCode = code;
        cv.notify_all();
    }
};

std::string EchoOverTcp(const std::wstring& host, int port, VemNetwork::ProxyInfo* proxy,
                        const std::string& message, std::string* error) {
    EchoClient client;   // must outlive the connection's use of it
    VemNetwork::INetConn* conn = nullptr;
    CreateBaseConn(&conn, &client, nullptr);
    if (!conn) {
        *error = "no connection object";
        return std::string();
    }
    // 5000 ms bounds the connect and, through a proxy, the handshake.
    if (conn->Connect(host, port, 5000, proxy) != VemNetwork::NETCONN_OK) {
        delete conn;
        *error = "no socket";
        return std::string();
    }
    // Bytes sent before the tunnel is up wait in the connection until it is.
    // A refusal may already have come in: Send then says 3 (not connected)
    // and the callback has the reason.
    conn->Send(message.data(), int(message.size()));
    std::string result;
    {
        std::unique_lock<std::mutex> g(client.m);
        bool answered = client.cv.wait_for(g, std::chrono::seconds(20), [&] {
            return client.received.size() >= message.size() || client.errorCode >= 0 || client.closed ||
                   client.connectResult > 0;
        });
        result = client.received;
        if (client.connectResult > 0) {
            *error = "OnConnect(" + std::to_string(client.connectResult) + ")";
        } else if (client.errorCode >= 0) {
            *error = "OnError(" + std::to_string(client.errorCode) + ")";
        } else if (!answered) {
            *error = "no answer";
        } else if (result.size() < message.size()) {
            *error = "closed early";
        }
    }
    // The host owns the connection: Close gives its socket back, delete
    // frees it. Both take the frame's lock, so no callback is running.
    conn->Close();
    delete conn;
    return result;
}

}  // namespace guide
