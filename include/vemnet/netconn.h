// Connections: the contract shared by TCP and HTTP connections, the host's
// callback and transform, and the proxy record.
#ifndef VEMNET_NETCONN_H
#define VEMNET_NETCONN_H

#include "vemnet/export.h"
#include "vemnet/strings.h"

namespace VemNetwork {

// Proxy kinds, the values of ProxyInfo::type. Any other value is refused
// with OnConnect(NETCONN_EVENT_UNSUPPORTED_PROXY).
enum : int {
    PROXY_SOCKS4 = 1,      // SOCKS4, or SOCKS4a when the target is a name
    PROXY_SOCKS4_ALT = 2,  // handled exactly as PROXY_SOCKS4
    PROXY_SOCKS5 = 3,
    PROXY_HTTP = 4,        // HTTP CONNECT: none, Negotiate, NTLM, Digest or Basic
    PROXY_SYSTEM = 5,      // the system's proxy setting, as a list of candidates
};

// The text fields of a proxy record: room for any host name and for long
// credentials; a record with longer text is refused (see FixedWideString).
using ProxyText = FixedWideString<1023>;

// A value record: the host makes it, fills it (from L"…", std::wstring, …),
// reads it back, and a PROXY_SYSTEM Connect rewrites it in place.
struct ProxyInfo {
    int type = PROXY_HTTP;
    ProxyText host;
    int port = 0;
    ProxyText user;
    ProxyText password;
    ProxyText domain;
};

// The host's transform of payload bytes, used both ways.
class INetCodec {
    VEMNET_DESTRUCTOR_SLOT(INetCodec)   // slot 0, never called by the library
public:
    // Must write exactly length bytes to out.
    virtual void Transform(char* out, const char* in, int length) = 0;
    VEMNET_COMPILER_DESTRUCTOR(INetCodec)
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
    VEMNET_DESTRUCTOR_SLOT(INetConn)   // slot 0
public:
    // proxy may be null; a PROXY_SYSTEM record is rewritten with the
    // candidate tried first.
    virtual int Connect(const WideStringView& host, int port, int timeout, ProxyInfo* proxy) = 0;
    virtual int Send(const char* data, int length) = 0;
    virtual int SetTimeout(int milliseconds) = 0;
    virtual void Close() = 0;
    virtual bool IsConnected() = 0;
    virtual void SetCallback(INetConnCallback* callback) = 0;
    virtual void SetCodec(INetCodec* codec) = 0;

protected:
    // Slots 8 to 13, the settings of an HTTP connection (IHttpConn makes
    // them public; a TCP connection ignores them). Declared here so that
    // they follow slot 7 with every compiler: GCC's destructor slots come
    // after them, as after every slot of the contract.
    virtual void AddParam(const WideStringView& key, const WideStringView& value) {}
    virtual void SetVerb(const WideStringView& verb) {}
    virtual void SetHeaders(const WideStringView& headers) {}
    virtual void SetData(const char* data, int length) {}
    virtual void SetPollInterval(int baseInterval, int maxInterval) {}
    virtual bool SetUrl(const WideStringView& url) { return false; }
    VEMNET_COMPILER_DESTRUCTOR(INetConn)
};

}  // namespace VemNetwork

extern "C" {
// Creates a TCP connection; stores it in *out and returns out. The host
// deletes it.
VEMNET_API VemNetwork::INetConn** VEMNET_CALL CreateBaseConn(VemNetwork::INetConn** out,
                                                              VemNetwork::INetConnCallback* callback,
                                                              VemNetwork::INetCodec* codec);
// Creates a connection that gets out by whatever way works: directly, then
// through the proxy Connect is given (null: the system's setting), then as
// HTTP through httpUrl (a vemnet-gateway, or any server of the HTTP
// connection's session protocol, relaying to the same service; null or
// empty: no HTTP step). Each way starts when the one before it failed or has
// not connected within 250 ms; the first to connect carries the connection,
// and the one that won starts the next Connect to the same host and port
// for 10 minutes. Stores it in *out and returns out; null (and *out null)
// when it cannot be made or httpUrl is not an http:// URL (plain HTTP
// only). The host deletes it.
VEMNET_API VemNetwork::INetConn** VEMNET_CALL CreateAutoConn(VemNetwork::INetConn** out,
                                                              VemNetwork::INetConnCallback* callback,
                                                              VemNetwork::INetCodec* codec, const wchar_t* httpUrl);
}

#endif
