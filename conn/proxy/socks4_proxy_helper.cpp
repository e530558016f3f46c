#include "conn/proxy/socks4_proxy_helper.h"

#include "conn/proxy/socks_reply_text.h"
#include "platform/platform.h"

namespace VemNetwork {

namespace {

// Longest host name we put in a request; the same bound as a DNS name and as
// the one-byte length of SOCKS5.
const size_t kMaxName = 255;
const int kReplyLength = 8;
const unsigned char kGranted = 0x5A;

}  // namespace

Socket4ProxyHelper::Socket4ProxyHelper(ISock* socket, const ProxyInfo* proxy,
                                       const std::wstring* host, int port)
    : ProxyHelperBase(socket, proxy, host, port), step_(Step::Begin) {}

void Socket4ProxyHelper::Enter(Step step) {
    static const wchar_t* const kNames[] = {L"begin", L"request", L"failed"};
    step_ = step;
    SetStateName(kNames[int(step)]);
}

// Connect request, 4a form (N + 10 bytes):
//
//   +----+----+---------+-------------+----+-----------+----+
//   | 04 | 01 | port    | 00 00 00 01 | 00 | host name | 00 |
//   +----+----+---------+-------------+----+-----------+----+
//     0    1    2..3      4..7          8    9..8+N      9+N
//
// port is big-endian; the address 0.0.0.1 tells the proxy to resolve the
// name that follows the (empty) user id. The configured user is not sent.
// SOCKS4 has no IPv6 form: an IPv6 literal goes as a name too ("::1", its
// brackets dropped), which a proxy that resolves with getaddrinfo reaches.
bool Socket4ProxyHelper::Start() {
    const std::string name = plat::ToAnsi(BareHost());
    if (name.size() > kMaxName || name.find('\0') != std::string::npos) {
        int ignored;
        Fail(&ignored, HS_MALFORMED, L"target host name cannot be sent over SOCKS4", 0);
        Enter(Step::Failed);
        return false;
    }
    const unsigned port = unsigned(port_) & 0xFFFF;
    std::string request;
    request.reserve(name.size() + 10);
    request += '\x04';
    request += '\x01';
    request += char(port >> 8);
    request += char(port & 0xFF);
    request.append("\x00\x00\x00\x01", 4);
    request += '\0';
    request += name;
    request += '\0';
    Enter(Step::Request);
    return SendBytes(request);
}

int Socket4ProxyHelper::OnReply(const char* data, int len, int* status) {
    int ignored;
    if (!status) status = &ignored;
    *status = HS_WAIT;
    switch (step_) {
    case Step::Request: return OnRequestReply(data, len, status);
    case Step::Failed: *status = HS_MALFORMED; return 0;
    default: return 0;
    }
}

// Reply (8 bytes):
//
//   +----+----+---------+-------------+
//   | vn | cd | port    | address     |
//   +----+----+---------+-------------+
//     0    1    2..3      4..7
//
// cd 0x5A is "granted"; vn, port and address are not looked at.
int Socket4ProxyHelper::OnRequestReply(const char* data, int len, int* status) {
    int ignored;
    if (!status) status = &ignored;
    if (len < kReplyLength || !data) return 0;
    const unsigned char code = (unsigned char)data[1];
    if (code != kGranted) return Fail(status, HS_REFUSED, Socks4ReplyText(code), kReplyLength);
    *status = HS_ESTABLISHED;
    return kReplyLength;
}

}  // namespace VemNetwork
