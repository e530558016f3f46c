// The HTTP client service on POSIX systems: libcurl with one easy handle per
// client, reused for every exchange so that the connection stays open
// between them (libcurl keeps it in the handle's connection cache).
//
// The three opening steps of the interface map onto one handle:
//   OpenSession     creates the handle and sets the proxy choice
//   OpenConnection  fixes the server (scheme, host, port)
//   OpenRequest     fixes the method and path
// The reply body is collected while the exchange runs and handed out by Read.
#include <curl/curl.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "platform/http_client.h"
#include "platform/platform.h"

namespace plat {
namespace {

// The longest reply body the engine keeps; a longer one ends the exchange
// with a write error rather than arriving cut.
const size_t kBodyLimit = 1u << 20;

std::once_flag g_curlInit;
CURLcode g_curlInitResult = CURLE_OK;

void InitCurl() { g_curlInitResult = curl_global_init(CURL_GLOBAL_DEFAULT); }

// WinInet's error numbers for the failures the engine tells apart; every
// other libcurl failure keeps its own code.
int MapCurlError(CURLcode code) {
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
        return kHttpTimeout;
    case CURLE_BAD_FUNCTION_ARGUMENT:
    case CURLE_RECURSIVE_API_CALL:
        return kHttpWrongState;
    default:
        return int(code);
    }
}

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The proxy URL libcurl wants from a WinInet proxy list:
//   "HTTP=HTTP://h:p"  -> "http://h:p"
//   "SOCKS=h:p"        -> "socks4a://h:p"
//   "SOCKS5=h:p"       -> "socks5h://h:p" (the proxy resolves the name)
//   "h:p"              -> "http://h:p"   (one proxy for every protocol)
// Entries are separated by spaces or ";"; the HTTP entry wins, since every
// request is plain HTTP. Empty when the list names no proxy.
std::string ProxyUrl(const std::wstring& list) {
    std::string text = ToAnsi(list);
    std::string http, socks, plain;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(" ;", pos);
        if (end == std::string::npos) end = text.size();
        std::string entry = text.substr(pos, end - pos);
        pos = end + 1;
        if (entry.empty()) continue;
        size_t eq = entry.find('=');
        std::string kind = eq == std::string::npos ? "" : Lower(entry.substr(0, eq));
        std::string value = eq == std::string::npos ? entry : entry.substr(eq + 1);
        if (value.empty()) continue;
        size_t sep = value.find("://");
        std::string scheme = sep == std::string::npos ? "" : Lower(value.substr(0, sep));
        std::string address = sep == std::string::npos ? value : value.substr(sep + 3);
        if (kind == "socks") {
            if (socks.empty()) socks = "socks4a://" + address;
        } else if (kind == "socks5") {
            if (socks.empty()) socks = "socks5h://" + address;
        } else if (kind == "http") {
            if (http.empty()) http = (scheme.empty() ? std::string("http") : scheme) + "://" + address;
        } else if (kind.empty()) {
            if (plain.empty()) plain = (scheme.empty() ? std::string("http") : scheme) + "://" + address;
        }
    }
    if (!http.empty()) return http;
    if (!plain.empty()) return plain;
    return socks;
}

// Bytes a URL path may not carry as they are.
std::string EscapePath(const std::string& path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (c <= 0x20 || c >= 0x7f || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
            c == '{' || c == '|' || c == '}') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += char(c);
        }
    }
    return out;
}

class CurlHttpClient : public HttpClient {
public:
    CurlHttpClient() {}
    ~CurlHttpClient() override { CloseAll(); }

    bool OpenSession(const HttpSessionSettings& settings, int* error) override {
        std::call_once(g_curlInit, InitCurl);
        if (g_curlInitResult != CURLE_OK) return Fail(error, int(g_curlInitResult));
        if (aborted_.load()) return Fail(error, int(CURLE_ABORTED_BY_CALLBACK));
        if (!easy_) {
            easy_ = curl_easy_init();
            if (!easy_) return Fail(error, int(CURLE_FAILED_INIT));
        }
        settings_ = settings;
        CURLcode rc = CURLE_OK;
        Set(rc, CURLOPT_NOSIGNAL, 1L);
        Set(rc, CURLOPT_USERAGENT, "VemNetwork");
        Set(rc, CURLOPT_WRITEFUNCTION, &CurlHttpClient::OnBody);
        Set(rc, CURLOPT_WRITEDATA, this);
        Set(rc, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        Set(rc, CURLOPT_TCP_NODELAY, 1L);
        // A redirect is a status other than 200 like any other.
        Set(rc, CURLOPT_FOLLOWLOCATION, 0L);
        // Replies are never cached by the client; cookies live as long as
        // the session, as with the system's HTTP service.
        Set(rc, CURLOPT_COOKIEFILE, "");
        // Abort reaches the sockets of the handle and its progress check.
        Set(rc, CURLOPT_OPENSOCKETFUNCTION, &CurlHttpClient::OnOpenSocket);
        Set(rc, CURLOPT_OPENSOCKETDATA, this);
        Set(rc, CURLOPT_CLOSESOCKETFUNCTION, &CurlHttpClient::OnCloseSocket);
        Set(rc, CURLOPT_CLOSESOCKETDATA, this);
        Set(rc, CURLOPT_XFERINFOFUNCTION, &CurlHttpClient::OnProgress);
        Set(rc, CURLOPT_XFERINFODATA, this);
        Set(rc, CURLOPT_NOPROGRESS, 0L);
        switch (settings.access) {
        case HttpAccess::Direct:
            Set(rc, CURLOPT_PROXY, "");
            break;
        case HttpAccess::System:
            // libcurl reads http_proxy, all_proxy and no_proxy itself.
            break;
        case HttpAccess::Named: {
            proxyUrl_ = ProxyUrl(settings.proxyList);
            Set(rc, CURLOPT_PROXY, proxyUrl_.c_str());
            // An explicit proxy applies to every host, whatever no_proxy says.
            Set(rc, CURLOPT_NOPROXY, "");
            Set(rc, CURLOPT_PROXYAUTH, long(CURLAUTH_ANY));
            break;
        }
        }
        if (rc != CURLE_OK) {
            curl_easy_cleanup(easy_);
            easy_ = nullptr;
            return Fail(error, MapCurlError(rc));
        }
        sessionOpen_ = true;
        return true;
    }

    bool OpenConnection(int* error) override {
        if (!sessionOpen_) return Fail(error, kHttpWrongState);
        // As the system's HTTP service, no connection without a server name.
        if (settings_.host.empty()) return Fail(error, int(CURLE_URL_MALFORMAT));
        std::string host = ToAnsi(settings_.host);
        if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
        origin_ = "http://" + host + ":" + std::to_string(settings_.port & 0xFFFF);
        connectionOpen_ = true;
        return true;
    }

    bool OpenRequest(int* error) override {
        if (!connectionOpen_) return Fail(error, kHttpWrongState);
        std::string path = EscapePath(ToAnsi(settings_.path));
        if (path.empty() || path[0] != '/') path = "/" + path;
        url_ = origin_ + path;
        verb_ = settings_.verb.empty() ? std::string("GET") : ToAnsi(settings_.verb);
        CURLcode rc = CURLE_OK;
        Set(rc, CURLOPT_URL, url_.c_str());
        Set(rc, CURLOPT_CUSTOMREQUEST, verb_.c_str());
        Set(rc, CURLOPT_NOBODY, verb_ == "HEAD" ? 1L : 0L);
        if (rc != CURLE_OK) return Fail(error, MapCurlError(rc));
        requestOpen_ = true;
        return true;
    }

    bool SessionOpen() const override { return sessionOpen_; }
    bool ConnectionOpen() const override { return connectionOpen_; }
    bool RequestOpen() const override { return requestOpen_; }

    void SetTimeouts(int connectMs, int sendMs) override {
        if (!easy_) return;
        curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, long(connectMs));
        curl_easy_setopt(easy_, CURLOPT_TIMEOUT_MS, long(sendMs));
    }

    void SetProxyCredentials(const std::wstring& user, const std::wstring& password) override {
        if (!easy_) return;
        proxyUser_ = ToAnsi(user);
        proxyPassword_ = ToAnsi(password);
        curl_easy_setopt(easy_, CURLOPT_PROXYUSERNAME, proxyUser_.c_str());
        curl_easy_setopt(easy_, CURLOPT_PROXYPASSWORD, proxyPassword_.c_str());
    }

    bool Send(const std::wstring& headers, const std::string& body, int* error) override {
        reply_.clear();
        readPos_ = 0;
        replied_ = false;
        if (!requestOpen_) return Fail(error, kHttpWrongState);
        if (aborted_.load()) return Fail(error, int(CURLE_ABORTED_BY_CALLBACK));

        curl_slist* list = nullptr;
        std::string text = ToAnsi(headers);
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(pos, end - pos);
            pos = end + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty()) continue;
            curl_slist* grown = curl_slist_append(list, line.c_str());
            if (!grown) {
                curl_slist_free_all(list);
                return Fail(error, int(CURLE_OUT_OF_MEMORY));
            }
            list = grown;
        }
        // The body goes with the request at once, as the system's HTTP
        // service sends it.
        list = curl_slist_append(list, "Expect:");
        body_ = body;
        curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, list);
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body_.size()));
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, body_.data());
        CURLcode rc = curl_easy_perform(easy_);
        curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, nullptr);
        curl_slist_free_all(list);
        if (rc != CURLE_OK) {
            reply_.clear();
            return Fail(error, MapCurlError(rc));
        }
        replied_ = true;
        return true;
    }

    int StatusCode() override {
        if (!easy_ || !replied_) return 0;
        long code = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
        return int(code);
    }

    int Read(char* buffer, int size) override {
        if (!replied_ || size < 0) return -1;
        size_t left = reply_.size() - readPos_;
        size_t n = left < size_t(size) ? left : size_t(size);
        if (n) std::memcpy(buffer, reply_.data() + readPos_, n);
        readPos_ += n;
        if (readPos_ == reply_.size()) {
            reply_.clear();
            readPos_ = 0;
        }
        return int(n);
    }

    void CloseAll() override {
        if (easy_) curl_easy_cleanup(easy_);
        easy_ = nullptr;
        requestOpen_ = connectionOpen_ = sessionOpen_ = false;
        replied_ = false;
        reply_.clear();
        readPos_ = 0;
    }

    void Abort() override {
        std::lock_guard<std::mutex> g(socketsLock_);
        aborted_.store(true);
        // The transfer's reads and writes end at once; the handles stay
        // open until libcurl closes them.
        for (curl_socket_t s : sockets_) ::shutdown(s, SHUT_RDWR);
    }

private:
    static curl_socket_t OnOpenSocket(void* self, curlsocktype, curl_sockaddr* address) {
        CurlHttpClient* client = static_cast<CurlHttpClient*>(self);
        std::lock_guard<std::mutex> g(client->socketsLock_);
        if (client->aborted_.load()) return CURL_SOCKET_BAD;
        curl_socket_t s = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (s != CURL_SOCKET_BAD) client->sockets_.insert(s);
        return s;
    }

    static int OnCloseSocket(void* self, curl_socket_t s) {
        CurlHttpClient* client = static_cast<CurlHttpClient*>(self);
        std::lock_guard<std::mutex> g(client->socketsLock_);
        client->sockets_.erase(s);
        return ::close(s);
    }

    static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<CurlHttpClient*>(self)->aborted_.load() ? 1 : 0;
    }

    template <typename T>
    void Set(CURLcode& rc, CURLoption option, T value) {
        if (rc != CURLE_OK) return;
        rc = curl_easy_setopt(easy_, option, value);
    }

    static bool Fail(int* error, int code) {
        if (error) *error = code;
        return false;
    }

    static size_t OnBody(char* data, size_t size, size_t count, void* self) {
        CurlHttpClient* client = static_cast<CurlHttpClient*>(self);
        size_t n = size * count;
        if (n > kBodyLimit - client->reply_.size()) return 0;
        client->reply_.append(data, n);
        return n;
    }

    CURL* easy_ = nullptr;
    bool sessionOpen_ = false;
    bool connectionOpen_ = false;
    bool requestOpen_ = false;
    bool replied_ = false;
    HttpSessionSettings settings_;
    std::string proxyUrl_;
    std::string proxyUser_;
    std::string proxyPassword_;
    std::string origin_;
    std::string url_;
    std::string verb_;
    std::string body_;
    std::string reply_;
    size_t readPos_ = 0;
    // The handle's open sockets, for Abort on another thread.
    std::mutex socketsLock_;
    std::set<curl_socket_t> sockets_;
    std::atomic<bool> aborted_{false};
};

}  // namespace

std::unique_ptr<HttpClient> HttpClient::Create() { return std::unique_ptr<HttpClient>(new CurlHttpClient()); }

bool HttpClient::SpeaksSocks5() { return true; }

}  // namespace plat
