// The SOCKS4a handshake: one connect request naming the target, one 8-byte
// reply. The proxy resolves the name.
//
//   step       Start                       OnReply
//   "begin"    sends the request           returns 0, status 2
//   "request"  sends the request again     OnRequestReply: 0 granted, 3 refused
//   "failed"   (see below)                 returns 0, status 6
//
// Bytes behind the reply in the same read are the target's (a server that
// speaks first): they are not counted, and the connection hands them on.
//
// A target host that cannot be put on the wire (longer than 255 bytes, or
// holding a NUL, which would end the name early and turn the rest into
// tunnel data) fails the handshake before anything is sent: Start sends
// nothing, returns false and enters "failed", so Failed() is true at once.
// The connection must check Failed() right after Start and end the attempt
// as a failed handshake (OnError(6)); a proxy never speaks first, so no
// reply would ever come to report it. A later Init and Start with a usable
// host leave "failed" again.
#ifndef VEMNET_SOCKS4_PROXY_HELPER_H
#define VEMNET_SOCKS4_PROXY_HELPER_H

#include <string>

#include "conn/proxy/proxy_helper.h"

namespace VemNetwork {

class Socket4ProxyHelper : public ProxyHelperBase {
public:
    Socket4ProxyHelper(ISock* socket, const ProxyInfo* proxy, const std::wstring* host, int port);

    bool Start() override;
    int OnReply(const char* data, int len, int* status) override;
    virtual int OnRequestReply(const char* data, int len, int* status);

private:
    enum class Step { Begin, Request, Failed };
    void Enter(Step step);

    Step step_;
};

}  // namespace VemNetwork

#endif
