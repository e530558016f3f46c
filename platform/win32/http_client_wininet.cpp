// The HTTP client service on Windows: WinInet, synchronous. One session,
// one connection and one request handle per client; the request handle is
// sent again for every exchange, which keeps the connection alive.
#include <windows.h>
#include <wininet.h>

#include <cwchar>
#include <mutex>
#include <string>

#include "platform/http_client.h"

namespace plat {
namespace {

// The values the engine relies on, spelled out so that they stay what the
// exchange was written against whatever the SDK headers call them.
const DWORD kAccessPreconfig = 0;          // INTERNET_OPEN_TYPE_PRECONFIG
const DWORD kAccessDirect = 1;             // INTERNET_OPEN_TYPE_DIRECT
const DWORD kAccessProxy = 3;              // INTERNET_OPEN_TYPE_PROXY
const DWORD kServiceHttp = 3;              // INTERNET_SERVICE_HTTP
const DWORD kConnectFlags = 0x04000000;    // INTERNET_FLAG_NO_CACHE_WRITE
// RELOAD | NO_CACHE_WRITE | KEEP_CONNECTION | NO_AUTO_REDIRECT: a redirect
// is a status other than 200 like any other, not a request of WinInet's own.
const DWORD kRequestFlags = 0x84600000;
const DWORD kOptionConnectTimeout = 2;     // INTERNET_OPTION_CONNECT_TIMEOUT
const DWORD kOptionSendTimeout = 5;        // INTERNET_OPTION_SEND_TIMEOUT
const DWORD kOptionReceiveTimeout = 6;     // INTERNET_OPTION_RECEIVE_TIMEOUT
const DWORD kOptionProxyUser = 43;         // INTERNET_OPTION_PROXY_USERNAME
const DWORD kOptionProxyPassword = 44;     // INTERNET_OPTION_PROXY_PASSWORD
const DWORD kHeaderAddReplace = 0xa0000000;   // HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE
const DWORD kQueryStatusNumber = 0x20000013;  // HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_STATUS_CODE
const DWORD kQueryLengthNumber = 0x20000005;  // HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_CONTENT_LENGTH
const DWORD kQueryRawHeaders = 22;            // HTTP_QUERY_RAW_HEADERS_CRLF

class WinInetHttpClient : public HttpClient {
public:
    ~WinInetHttpClient() override { CloseAll(); }

    bool OpenSession(const HttpSessionSettings& settings, int* error) override {
        settings_ = settings;
        DWORD access = kAccessDirect;
        const wchar_t* list = nullptr;
        switch (settings.access) {
        case HttpAccess::Direct:
            access = kAccessDirect;
            break;
        case HttpAccess::System:
            access = kAccessPreconfig;
            break;
        case HttpAccess::Named:
            access = kAccessProxy;
            list = settings_.proxyList.c_str();
            break;
        }
        HINTERNET opened = InternetOpenW(L"VemNetwork", access, list, nullptr, 0);
        if (!opened) return Fail(error);
        std::lock_guard<std::mutex> g(abortLock_);
        if (aborted_) {
            InternetCloseHandle(opened);
            return Fail(error, ERROR_INTERNET_OPERATION_CANCELLED);
        }
        internet_ = opened;
        return true;
    }

    bool OpenConnection(int* error) override {
        if (!internet_) return Fail(error, ERROR_INVALID_HANDLE);
        connect_ = InternetConnectW(internet_, settings_.host.c_str(), INTERNET_PORT(settings_.port & 0xFFFF), nullptr,
                                    nullptr, kServiceHttp, kConnectFlags, 0);
        if (!connect_) return Fail(error);
        return true;
    }

    bool OpenRequest(int* error) override {
        if (!connect_) return Fail(error, ERROR_INVALID_HANDLE);
        // An empty verb is WinInet's default, GET.
        const wchar_t* verb = settings_.verb.empty() ? nullptr : settings_.verb.c_str();
        request_ = HttpOpenRequestW(connect_, verb, settings_.path.c_str(), nullptr, nullptr,
                                    nullptr, kRequestFlags, 0);
        if (!request_) return Fail(error);
        return true;
    }

    bool SessionOpen() const override { return internet_ != nullptr; }
    bool ConnectionOpen() const override { return connect_ != nullptr; }
    bool RequestOpen() const override { return request_ != nullptr; }

    void SetTimeouts(int connectMs, int sendMs) override {
        if (!request_) return;
        DWORD value = DWORD(connectMs);
        InternetSetOptionW(request_, kOptionConnectTimeout, &value, sizeof(value));
        value = DWORD(sendMs);
        InternetSetOptionW(request_, kOptionSendTimeout, &value, sizeof(value));
        // The send timeout bounds writing the request only; a server that
        // takes the request and never answers would hold the worker for
        // WinInet's default receive timeout, so waiting for the reply gets
        // the same limit.
        InternetSetOptionW(request_, kOptionReceiveTimeout, &value, sizeof(value));
    }

    void SetProxyCredentials(const std::wstring& user, const std::wstring& password) override {
        if (!connect_) return;
        InternetSetOptionW(connect_, kOptionProxyUser, const_cast<wchar_t*>(user.c_str()), DWORD(user.size()));
        InternetSetOptionW(connect_, kOptionProxyPassword, const_cast<wchar_t*>(password.c_str()),
                           DWORD(password.size()));
    }

    bool Send(const std::wstring& headers, const std::string& body, int* error) override {
        if (!request_) return Fail(error, ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        wchar_t length[64];
        int n = swprintf(length, sizeof(length) / sizeof(length[0]), L"Content-Length: %d", int(body.size()));
        if (n < 0) n = 0;
        HttpAddRequestHeadersW(request_, length, DWORD(n), kHeaderAddReplace);
        status_ = 0;
        declared_ = -1;
        received_ = 0;
        if (!HttpSendRequestW(request_, headers.c_str(), DWORD(headers.size()),
                              const_cast<char*>(body.data()), DWORD(body.size()))) {
            return Fail(error);
        }
        // A reply without a status line is no reply.
        DWORD value = 0;
        DWORD size = sizeof(value);
        if (!HttpQueryInfoW(request_, kQueryStatusNumber, &value, &size, nullptr)) return Fail(error);
        status_ = int(value);
        size = sizeof(value);
        if (HttpQueryInfoW(request_, kQueryLengthNumber, &value, &size, nullptr)) declared_ = int64_t(value);
        bare_ = declared_ < 0 && !HasHeaderLines();
        return true;
    }

    int StatusCode() override { return status_; }

    // WinInet ends a body that the server cut short like a whole one; the
    // declared length tells them apart.
    int Read(char* buffer, int size) override {
        if (!request_ || size < 0) return -1;
        DWORD got = 0;
        if (!InternetReadFile(request_, buffer, DWORD(size), &got)) return -1;
        if (got == 0 && size > 0 && declared_ >= 0 && received_ < declared_) return -1;
        // When the server closes without answering, WinInet sends the
        // request again on a new connection and, with no answer there
        // either, reports success with the previous status line and no
        // header lines: an empty body then means no reply.
        if (got == 0 && size > 0 && bare_ && received_ == 0) return -1;
        received_ += got;
        return int(got);
    }

    void CloseAll() override {
        std::lock_guard<std::mutex> g(abortLock_);
        CloseHandles();
    }

    // Closing a handle cancels the operation under way on it; the worker
    // finds the handles gone once the exchange has failed.
    void Abort() override {
        std::lock_guard<std::mutex> g(abortLock_);
        aborted_ = true;
        CloseHandles();
    }

private:
    // Under abortLock_: request first.
    void CloseHandles() {
        if (request_) InternetCloseHandle(request_);
        if (connect_) InternetCloseHandle(connect_);
        if (internet_) InternetCloseHandle(internet_);
        request_ = connect_ = internet_ = nullptr;
    }

    // Whether the reply's header block holds anything beside the status line.
    bool HasHeaderLines() {
        DWORD size = 0;
        HttpQueryInfoW(request_, kQueryRawHeaders, nullptr, &size, nullptr);
        if (size == 0) return false;
        std::wstring raw(size / sizeof(wchar_t) + 1, L'\0');
        size = DWORD(raw.size() * sizeof(wchar_t));
        if (!HttpQueryInfoW(request_, kQueryRawHeaders, &raw[0], &size, nullptr)) return false;
        return raw.find(L':') != std::wstring::npos;
    }

    static bool Fail(int* error, DWORD code = GetLastError()) {
        if (error) *error = int(code);
        return false;
    }

    HttpSessionSettings settings_;
    HINTERNET internet_ = nullptr;
    HINTERNET connect_ = nullptr;
    HINTERNET request_ = nullptr;
    int status_ = 0;
    int64_t declared_ = -1;   // Content-Length of the reply, -1 when absent
    int64_t received_ = 0;
    bool bare_ = false;       // status line without header lines
    std::mutex abortLock_;    // the handles' closing, against Abort
    bool aborted_ = false;
};

}  // namespace

std::unique_ptr<HttpClient> HttpClient::Create() { return std::unique_ptr<HttpClient>(new WinInetHttpClient()); }

bool HttpClient::SpeaksSocks5() { return false; }

}  // namespace plat
