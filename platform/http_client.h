// The HTTP client service behind the HTTP request engine: WinInet on Windows,
// libcurl elsewhere. One client is one session, connection and reusable
// request of one HTTP context.
#ifndef VEMNET_HTTP_CLIENT_H
#define VEMNET_HTTP_CLIENT_H

#include <cstdint>
#include <memory>
#include <string>

namespace plat {

enum class HttpAccess {
    Direct,        // no proxy
    System,        // the system's (environment's) proxy setting
    Named,         // the proxy list given
};

struct HttpSessionSettings {
    HttpAccess access = HttpAccess::Direct;
    // "HTTP=HTTP://host:port", "SOCKS=host:port" (SOCKS4a) or
    // "SOCKS5=host:port" (where SpeaksSocks5); may be empty.
    std::wstring proxyList;
    std::wstring host;        // the server
    int port = 80;
    std::wstring verb;
    std::wstring path;
};

// Results of the client's operations, WinInet's error numbers where WinInet
// has them.
enum : int {
    kHttpTimeout = 12002,       // ERROR_INTERNET_TIMEOUT
    kHttpWrongState = 12019,    // ERROR_INTERNET_INCORRECT_HANDLE_STATE
};

class HttpClient {
public:
    static std::unique_ptr<HttpClient> Create();
    // Whether the client reaches a SOCKS5 proxy (WinInet speaks SOCKS4 only).
    static bool SpeaksSocks5();
    virtual ~HttpClient() {}
    // The three opening steps; each false with the reason in *error. Steps
    // already done stay done.
    virtual bool OpenSession(const HttpSessionSettings& settings, int* error) = 0;
    virtual bool OpenConnection(int* error) = 0;
    virtual bool OpenRequest(int* error) = 0;
    virtual bool SessionOpen() const = 0;
    virtual bool ConnectionOpen() const = 0;
    virtual bool RequestOpen() const = 0;
    // Per-exchange settings.
    virtual void SetTimeouts(int connectMs, int sendMs) = 0;
    virtual void SetProxyCredentials(const std::wstring& user, const std::wstring& password) = 0;
    // Sends the request with extra header lines and a body; false with the
    // reason in *error (kHttpTimeout, kHttpWrongState or another code).
    virtual bool Send(const std::wstring& headers, const std::string& body, int* error) = 0;
    virtual int StatusCode() = 0;
    // Reads up to size bytes of the reply body; 0 at its end, -1 on failure.
    virtual int Read(char* buffer, int size) = 0;
    // Closes whatever is open, request first.
    virtual void CloseAll() = 0;
    // From any thread: cuts off the exchange under way (which then fails)
    // and makes every later one fail at once.
    virtual void Abort() = 0;
};

}  // namespace plat

#endif
