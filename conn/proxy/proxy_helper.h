// A proxy handshake run over a connected socket by TcpNetConn.
#ifndef VEMNET_PROXY_HELPER_H
#define VEMNET_PROXY_HELPER_H

#include <string>

#include "vemnet/netconn.h"
#include "vemnet/sock.h"

namespace VemNetwork {

// What a helper's OnReply tells the connection to do.
enum HandshakeStatus : int {
    HS_ESTABLISHED = 0,    // tunnel up
    HS_RECONNECT = 1,      // new connection to the proxy, same helper and state
    HS_WAIT = 2,           // need more data
    HS_REFUSED = 3,        // the proxy refused
    HS_NO_METHOD = 4,      // no scheme or method we support
    HS_NO_USER = 5,        // credentials required, no user configured
    HS_MALFORMED = 6,      // malformed, oversized or unexpected reply
};

class IProxyHelper {
public:
    virtual ~IProxyHelper() {}
    // Copies the four values; keeps `state`, so a helper re-initialised after
    // a reconnect goes on from the step it had reached.
    virtual void Init(ISock* socket, const ProxyInfo* proxy, const std::wstring* host, int port) = 0;
    // Sends the request of the current state; true when one was sent.
    virtual bool Start() = 0;
    // Sets *status (HS_WAIT first) and returns the bytes that belong to the
    // proxy's reply. On HS_ESTABLISHED, bytes after the returned count are
    // the target's and belong to the host.
    virtual int OnReply(const char* data, int len, int* status) = 0;
};

// The data every helper carries, the name of its step and the one way a
// handshake fails. Each helper keeps its step in an enumeration of its own
// and changes it only through its Enter(), which also sets the step's name
// here.
class ProxyHelperBase : public IProxyHelper {
public:
    ProxyHelperBase(ISock* socket, const ProxyInfo* proxy, const std::wstring* host, int port)
        : socket_(nullptr), port_(0), state_(L"begin") {
        Store(socket, proxy, host, port);
    }
    void Init(ISock* socket, const ProxyInfo* proxy, const std::wstring* host, int port) override {
        Store(socket, proxy, host, port);
    }
    // The name of the step reached: "begin", "request", "init", ...
    const std::wstring& state() const { return state_; }
    // What went wrong, in words for the log, once a reply ended the
    // handshake with a failure status (or Start found it could not begin).
    const std::wstring& failure() const { return failure_; }
    // True when Start found the request impossible to put on the wire and
    // sent nothing: no reply will ever come to report it.
    bool Failed() const { return state_ == L"failed"; }

protected:
    void Store(ISock* socket, const ProxyInfo* proxy, const std::wstring* host, int port) {
        socket_ = socket;
        if (proxy) proxy_ = *proxy;
        if (host) host_ = *host;
        port_ = port;
    }
    // Sends bytes over the proxy connection; false when there is no socket or
    // it refused them.
    bool SendBytes(const std::string& bytes) {
        return socket_ && socket_->Send(bytes.data(), unsigned(bytes.size()));
    }
    void SetStateName(const wchar_t* name) { state_ = name; }
    // The target host without the brackets a URL puts around an IPv6
    // literal ("[::1]" → "::1").
    std::wstring BareHost() const {
        if (host_.size() >= 2 && host_.front() == L'[' && host_.back() == L']') return host_.substr(1, host_.size() - 2);
        return host_;
    }
    // "host:port" as a request line names it: an IPv6 literal in brackets
    // ("[::1]:80"), since its own colons would run into the port's.
    std::wstring TargetAuthority() const {
        const std::wstring bare = BareHost();
        const bool v6 = bare.find(L':') != std::wstring::npos;
        return (v6 ? L"[" + bare + L"]" : bare) + L":" + std::to_wstring(port_);
    }
    // Ends the handshake: *status = how, the reason kept for the log.
    // Returns consumed, for `return Fail(...)`.
    int Fail(int* status, int how, const std::wstring& why, int consumed) {
        *status = how;
        failure_ = why + L" (step \"" + state_ + L"\")";
        return consumed;
    }

    ISock* socket_;
    ProxyInfo proxy_;
    std::wstring host_;
    int port_;

private:
    std::wstring state_;
    std::wstring failure_;
};

}  // namespace VemNetwork

#endif
