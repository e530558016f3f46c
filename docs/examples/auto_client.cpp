// One connection that gets out however the network allows: directly, then
// through the system's proxy, then as HTTP through a vemnet-gateway that
// relays to the same service. Sends one message and waits for its echo; on
// failure the reason in *error.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include <vemnet/vemnet.h>

namespace guide {

// Events come on the default frame's thread, whichever way won.
class AnyWayClient : public VemNetwork::INetConnCallback {
public:
    std::mutex m;
    std::condition_variable cv;
    int connectResult = -1;
    int errorCode = -1;
    std::string received;

    void OnConnect(int result) override { Set(&connectResult, result); }
    int OnData(const char* data, int length) override {
        std::lock_guard<std::mutex> g(m);
        received.append(data, size_t(length));
        cv.notify_all();
        return length;
    }
    void OnSent() override {}
    void OnTimeout() override {}
    void OnClose() override {}
    void OnError(int code) override { Set(&errorCode, code); }

private:
    void Set(int* field, int value) {
        std::lock_guard<std::mutex> g(m);
        *field = value;
        cv.notify_all();
    }
};

std::string EchoAnyWayOut(const wchar_t* gatewayUrl, const std::wstring& host, int port,
                          const std::string& message, std::string* error) {
    AnyWayClient client;
    VemNetwork::INetConn* conn = nullptr;
    if (!CreateAutoConn(&conn, &client, nullptr, gatewayUrl)) {
        *error = "no connection object (is the URL an http:// URL?)";
        return std::string();
    }
    // No proxy record: the proxy step uses the system's setting. 10 s bound
    // the whole climb; the message waits for the winner and goes out first.
    if (conn->Connect(host, port, 10000, nullptr) != VemNetwork::NETCONN_OK ||
        conn->Send(message.data(), int(message.size())) != VemNetwork::NETCONN_OK) {
        delete conn;
        *error = "the connection did not start";
        return std::string();
    }
    std::string result;
    {
        std::unique_lock<std::mutex> g(client.m);
        client.cv.wait_for(g, std::chrono::seconds(20), [&] {
            return client.received.size() >= message.size() || client.errorCode >= 0 ||
                   (client.connectResult > 0);
        });
        result = client.received;
        if (client.connectResult > 0) {
            *error = "OnConnect(" + std::to_string(client.connectResult) + "): no way out";
        } else if (client.errorCode >= 0) {
            *error = "OnError(" + std::to_string(client.errorCode) + ")";
        } else if (result.size() < message.size()) {
            *error = "no echo";
        }
    }
    delete conn;   // closes whichever way carried it
    return result;
}

}  // namespace guide
