// The SOCKS5 handshake (RFC 1928, user/password of RFC 1929): greeting,
// optional user/password exchange, connect request with a domain-name
// address. Each reply must arrive alone: the proxy says nothing until asked.
//
//   state      Start            OnReply
//   "begin"    sends greeting   returns 0, status 2
//   "init"     sends greeting   OnMethodReply: user/password request (to
//                               "auth") or connect request (to "request");
//                               status 4, 5 or 6 on a bad choice or reply
//   "auth"     sends greeting   OnAuthReply: connect request (to "request"),
//                               3 refused, 6 oversized
//   "request"  sends greeting   OnRequestReply: 0 up, 3 refused, 6 oversized
//   "failed"   (see below)      returns 0, status 6
//
// Every length on the wire is one byte. A target host longer than 255 bytes,
// or, when a user name is configured, a user name or password longer than
// 255 bytes, fails the handshake before anything is sent, instead of going
// out with a cut length byte: Start sends nothing, returns false and sets
// `state` to "failed", so Failed() is true at once. The connection must check
// Failed() right after Start and end the attempt as a failed handshake
// (OnError(6)); the proxy would never speak first to let OnReply report it.
// A later Init and Start with usable values leave "failed" again.
#ifndef VEMNET_SOCKS5_PROXY_HELPER_H
#define VEMNET_SOCKS5_PROXY_HELPER_H

#include <string>

#include "conn/proxy/proxy_helper.h"

namespace VemNetwork {

class Socket5ProxyHelper : public ProxyHelperBase {
public:
    Socket5ProxyHelper(ISock* socket, const ProxyInfo* proxy, const std::wstring* host, int port);

    bool Start() override;
    int OnReply(const char* data, int len, int* status) override;
    virtual int OnMethodReply(const char* data, int len, int* status);
    virtual int OnAuthReply(const char* data, int len, int* status);
    virtual int OnRequestReply(const char* data, int len, int* status);

    // True when Start found a host, user name or password too long to send.
    bool Failed() const { return state_ == L"failed"; }

private:
    bool SendAuthRequest();
    bool SendConnectRequest();
};

}  // namespace VemNetwork

#endif
