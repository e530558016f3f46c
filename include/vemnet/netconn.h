// Connections: the contract shared by TCP and HTTP connections, the host's
// callback and transform, and the proxy record.
#ifndef VEMNET_NETCONN_H
#define VEMNET_NETCONN_H

#include <string>

#include "vemnet/export.h"

namespace VemNetwork {

// Proxy kinds, the values of ProxyInfo::type. Any other value is refused
// with OnConnect(NETCONN_EVENT_UNSUPPORTED_PROXY).
enum : int {
    PROXY_SOCKS4 = 1,      // SOCKS4, or SOCKS4a when the target is a name
    PROXY_SOCKS4_ALT = 2,  // handled exactly as PROXY_SOCKS4
    PROXY_SOCKS5 = 3,
    PROXY_HTTP = 4,        // HTTP CONNECT: no authentication, Basic or NTLM
    PROXY_SYSTEM = 5,      // the system's proxy setting, as a list of candidates
};

struct ProxyInfo {
    int type = PROXY_HTTP;
    std::wstring host;
    int port = 0;
    std::wstring user;
    std::wstring password;
    std::wstring domain;
};

// The host's transform of payload bytes, used both ways.
class INetCodec {
public:
    virtual ~INetCodec() {}
    // Must write exactly length bytes to out.
    virtual void Transform(char* out, const char* in, int length) = 0;
};

// Events of a connection, on the default frame's thread.
class INetConnCallback {
public:
    // NETCONN_OK, NETCONN_EVENT_CONNECT_FAILED or NETCONN_EVENT_UNSUPPORTED_PROXY.
    virtual void OnConnect(int result) = 0;
    // Returns how many bytes were consumed; the rest is offered again.
    virtual int OnData(const char* data, int length) = 0;
    virtual void OnSent() = 0;
    virtual void OnTimeout() = 0;
    virtual void OnClose() = 0;
    // NETCONN_EVENT_HANDSHAKE_FAILED, NETCONN_EVENT_FAILED, or a socket code.
    virtual void OnError(int code) = 0;
protected:
    ~INetConnCallback() {}
};

// Result codes of the operations.
enum : int {
    NETCONN_OK = 0,
    NETCONN_FULL = 1,
    NETCONN_NO_SOCKET = 2,
    NETCONN_NOT_CONNECTED = 3,
};

// Codes of the events. OnConnect: NETCONN_OK, NETCONN_EVENT_CONNECT_FAILED or
// NETCONN_EVENT_UNSUPPORTED_PROXY. OnError: NETCONN_EVENT_HANDSHAKE_FAILED,
// NETCONN_EVENT_FAILED, or a socket code (Windows Sockets numbering).
enum : int {
    NETCONN_EVENT_CONNECT_FAILED = 4,     // could not connect, or the handshake timed out
    NETCONN_EVENT_UNSUPPORTED_PROXY = 5,  // the proxy kind is not one of the above
    NETCONN_EVENT_HANDSHAKE_FAILED = 6,   // proxy handshake or HTTP authentication failed
    NETCONN_EVENT_FAILED = 11,            // any other failure
};

class INetConn {
public:
    virtual ~INetConn() {}
    // proxy may be null; a type-5 record is rewritten with the first entry of
    // the system setting.
    virtual int Connect(const std::wstring& host, int port, int timeout, ProxyInfo* proxy) = 0;
    virtual int Send(const char* data, int length) = 0;
    virtual int SetTimeout(int milliseconds) = 0;
    virtual void Close() = 0;
    virtual bool IsConnected() = 0;
    virtual void SetCallback(INetConnCallback* callback) = 0;
    virtual void SetCodec(INetCodec* codec) = 0;
};

}  // namespace VemNetwork

extern "C" {
// Creates a TCP connection; stores it in *out and returns out. The host
// deletes it.
VEMNET_API VemNetwork::INetConn** VEMNET_CALL CreateBaseConn(VemNetwork::INetConn** out,
                                                              VemNetwork::INetConnCallback* callback,
                                                              VemNetwork::INetCodec* codec);
}

#endif
