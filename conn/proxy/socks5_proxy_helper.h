// The SOCKS5 handshake (RFC 1928, user/password of RFC 1929): greeting,
// optional user/password exchange, connect request with a domain-name
// address. The method and user/password replies must arrive alone: the
// proxy says nothing until asked.
//
//   step       Start            OnReply
//   "begin"    sends greeting   returns 0, status 2
//   "init"     sends greeting   OnMethodReply: user/password request (to
//                               "auth") or connect request (to "request");
//                               status 4, 5 or 6 on a bad choice or reply
//   "auth"     sends greeting   OnAuthReply: connect request (to "request"),
//                               3 refused, 6 oversized
//   "request"  sends greeting   OnRequestReply: 0 up, 3 refused, 6 on an
//                               unknown address type
//   "failed"   (see below)      returns 0, status 6
//
// The connect reply is read by its own length, which its address type
// gives: 10 bytes for IPv4, 22 for IPv6, 7 + the name's length for a domain
// name. It counts only once it is whole, however it was split; bytes behind
// it are the target's and are handed on by the connection.
//
// Every length on the wire is one byte. A target host longer than 255 bytes,
// or, when a user name is configured, a user name or password longer than
// 255 bytes, fails the handshake before anything is sent, instead of going
// out with a cut length byte: Start sends nothing, returns false and enters
// "failed", so Failed() is true at once. The connection must check Failed()
// right after Start and end the attempt as a failed handshake (OnError(6)).
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

private:
    enum class Step { Begin, Init, Auth, Request, Failed };
    void Enter(Step step);
    bool SendAuthRequest();
    bool SendConnectRequest();

    Step step_;
};

}  // namespace VemNetwork

#endif
