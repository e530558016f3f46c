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
    // proxy's reply.
    virtual int OnReply(const char* data, int len, int* status) = 0;
};

// The data every helper carries.
class ProxyHelperBase : public IProxyHelper {
public:
    ProxyHelperBase(ISock* socket, const ProxyInfo* proxy, const std::wstring* host, int port)
        : socket_(nullptr), port_(0), state_(L"begin") {
        Store(socket, proxy, host, port);
    }
    void Init(ISock* socket, const ProxyInfo* proxy, const std::wstring* host, int port) override {
        Store(socket, proxy, host, port);
    }
    const std::wstring& state() const { return state_; }

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

    ISock* socket_;
    ProxyInfo proxy_;
    std::wstring host_;
    int port_;
    std::wstring state_;
};

}  // namespace VemNetwork

#endif
