// An HTTP polling connection: the same INetConn contract carried over
// form-encoded requests to a session server. Sends one message and waits
// for as many bytes to come back; on failure the reason in *error.
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

#include <vemnet/vemnet.h>

namespace guide {

// Called on the default frame's thread, like a TCP connection's callback.
// An HTTP connection never calls OnClose.
class HttpClient : public VemNetwork::INetConnCallback {
public:
    std::mutex m;
    std::condition_variable cv;
    int connectResult = -1;
    int errorCode = -1;
    int sentEvents = 0;
    std::string received;

    void OnConnect(int result) override { Set(&connectResult, result); }
    int OnData(const char* data, int length) override {
        std::lock_guard<std::mutex> g(m);
        received.append(data, size_t(length));
        cv.notify_all();
        return length;   // what is not consumed comes again with the next delivery
    }
    void OnSent() override {   // once per worker cycle
        std::lock_guard<std::mutex> g(m);
        ++sentEvents;
    }
    void OnTimeout() override {}   // the Connect time limit passed
    void OnClose() override {}
    void OnError(int code) override { Set(&errorCode, code); }

private:
    void Set(int* field, int value) {
        std::lock_guard<std::mutex> g(m);
        *field = value;
        cv.notify_all();
    }
};

std::string EchoOverHttp(const std::wstring& host, int port, const std::wstring& url,
                         const std::string& message, std::string* error) {
    HttpClient client;
    VemNetwork::IHttpConn* conn = nullptr;
    // Requests go to the path of url with POST and one extra header line;
    // polls every 50 ms after data, doubling up to 400 ms while the server
    // is silent.
    CreateHttpConn(&conn, &client, url, L"POST", 50, 400, L"X-Client: guide\r\n",
                   std::map<std::wstring, std::wstring>(), std::string(), nullptr);
    if (!conn) {
        *error = "no connection object";
        return std::string();
    }
    // The time limit is a watchdog: when it passes, OnTimeout.
    if (conn->Connect(host, port, 30000, nullptr) != VemNetwork::NETCONN_OK ||
        conn->Send(message.data(), int(message.size())) != VemNetwork::NETCONN_OK) {
        delete conn;
        *error = "the connection did not start";
        return std::string();
    }
    std::string result;
    {
        std::unique_lock<std::mutex> g(client.m);
        client.cv.wait_for(g, std::chrono::seconds(20), [&] {
            return client.received.size() >= message.size() || client.errorCode >= 0;
        });
        result = client.received;
        if (client.errorCode >= 0) {
            *error = "OnError(" + std::to_string(client.errorCode) + ")";
        } else if (client.connectResult != 0) {
            *error = "OnConnect(" + std::to_string(client.connectResult) + ")";
        } else if (result.size() < message.size()) {
            *error = "no echo";
        }
    }
    // Close waits for a delivery in progress; delete closes as well.
    conn->Close();
    delete conn;
    return result;
}

}  // namespace guide
