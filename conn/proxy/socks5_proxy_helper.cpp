#include "conn/proxy/socks5_proxy_helper.h"

#include "conn/proxy/socks_reply_text.h"
#include "platform/platform.h"

namespace VemNetwork {

namespace {

// Largest value of a one-byte length field.
const size_t kMaxField = 255;

const int kTwoByteReply = 2;   // method and user/password replies
const unsigned char kMethodNone = 0x00;
const unsigned char kMethodUserPassword = 0x02;
const unsigned char kNoAcceptableMethod = 0xFF;

// Connect reply: | 05 | rep | 00 | atyp | bound address | port (2) |
const int kReplyHead = 4;
const unsigned char kAddressIPv4 = 0x01;
const unsigned char kAddressDomain = 0x03;
const unsigned char kAddressIPv6 = 0x04;

}  // namespace

Socket5ProxyHelper::Socket5ProxyHelper(ISock* socket, const ProxyInfo* proxy,
                                       const std::wstring* host, int port)
    : ProxyHelperBase(socket, proxy, host, port), step_(Step::Begin) {}

void Socket5ProxyHelper::Enter(Step step) {
    static const wchar_t* const kNames[] = {L"begin", L"init", L"auth", L"request", L"failed"};
    step_ = step;
    SetStateName(kNames[int(step)]);
}

// Greeting (3 bytes): one method offered.
//
//   +----+----+--------+
//   | 05 | 01 | method |     method 02 (user/password) when a user name is
//   +----+----+--------+     configured, else 00 (none)
bool Socket5ProxyHelper::Start() {
    const bool withUser = !proxy_.user.empty();
    if (plat::ToAnsi(host_).size() > kMaxField ||
        (withUser && (plat::ToAnsi(proxy_.user).size() > kMaxField ||
                      plat::ToAnsi(proxy_.password).size() > kMaxField))) {
        int ignored;
        Fail(&ignored, HS_MALFORMED, L"host, user or password longer than 255 bytes", 0);
        Enter(Step::Failed);
        return false;
    }
    const char greeting[3] = {'\x05', '\x01', char(withUser ? kMethodUserPassword : kMethodNone)};
    Enter(Step::Init);
    return SendBytes(std::string(greeting, 3));
}

int Socket5ProxyHelper::OnReply(const char* data, int len, int* status) {
    int ignored;
    if (!status) status = &ignored;
    *status = HS_WAIT;
    switch (step_) {
    case Step::Init: return OnMethodReply(data, len, status);
    case Step::Auth: return OnAuthReply(data, len, status);
    case Step::Request: return OnRequestReply(data, len, status);
    case Step::Failed: *status = HS_MALFORMED; return 0;
    default: return 0;
    }
}

// User/password request (U + P + 3 bytes):
//
//   +----+---+------+---+----------+
//   | 01 | U | user | P | password |
//   +----+---+------+---+----------+
//     0    1   2..    2+U  3+U..
bool Socket5ProxyHelper::SendAuthRequest() {
    const std::string user = plat::ToAnsi(proxy_.user);
    const std::string password = plat::ToAnsi(proxy_.password);
    if (user.size() > kMaxField || password.size() > kMaxField) return false;
    std::string request;
    request += '\x01';
    request += char(user.size());
    request += user;
    request += char(password.size());
    request += password;
    Enter(Step::Auth);
    return SendBytes(request);
}

// Connect request, domain-name form for every target but an IPv6 literal, a
// dotted address included (N + 7 bytes):
//
//   +----+----+----+----+---+-----------+---------+
//   | 05 | 01 | 00 | 03 | N | host name | port    |
//   +----+----+----+----+---+-----------+---------+
//     0    1    2    3    4   5..4+N      5+N..6+N   (port big-endian)
//
// An IPv6 literal ("::1" or "[::1]") as its address (22 bytes): many
// proxies resolve names only to IPv4, and a literal needs no resolving.
//
//   +----+----+----+----+------------------+---------+
//   | 05 | 01 | 00 | 04 | IPv6 address     | port    |
//   +----+----+----+----+------------------+---------+
//     0    1    2    3    4..19              20..21
bool Socket5ProxyHelper::SendConnectRequest() {
    const std::string name = plat::ToAnsi(host_);
    if (name.size() > kMaxField) return false;
    const unsigned port = unsigned(port_) & 0xFFFF;
    std::string request("\x05\x01\x00", 3);
    plat::NetAddress v6;
    if (plat::ParseIPv6(name.c_str(), &v6)) {
        request += char(kAddressIPv6);
        request.append(reinterpret_cast<const char*>(v6.bytes), sizeof v6.bytes);
    } else {
        request += char(kAddressDomain);
        request += char(name.size());
        request += name;
    }
    request += char(port >> 8);
    request += char(port & 0xFF);
    Enter(Step::Request);
    return SendBytes(request);
}

// Method reply (2 bytes): | ver | method |. 00 none, 02 user/password,
// FF nothing acceptable. The proxy may pick 00 even when we offered 02.
int Socket5ProxyHelper::OnMethodReply(const char* data, int len, int* status) {
    int ignored;
    if (!status) status = &ignored;
    if (len < kTwoByteReply || !data) return 0;
    if (len > kTwoByteReply)
        return Fail(status, HS_MALFORMED, L"method reply longer than 2 bytes", kTwoByteReply);
    const unsigned char method = (unsigned char)data[1];
    if (method == kMethodNone) {
        if (!SendConnectRequest())
            return Fail(status, HS_MALFORMED, L"connect request not sent", kTwoByteReply);
    } else if (method == kMethodUserPassword) {
        if (proxy_.user.empty())
            return Fail(status, HS_NO_USER, L"user/password required, no user configured", kTwoByteReply);
        if (!SendAuthRequest())
            return Fail(status, HS_MALFORMED, L"user/password request not sent", kTwoByteReply);
    } else if (method == kNoAcceptableMethod) {
        return Fail(status, HS_NO_USER, L"no acceptable authentication method (0xFF)", kTwoByteReply);
    } else {
        return Fail(status, HS_NO_METHOD,
                    L"unsupported authentication method " + std::to_wstring(unsigned(method)),
                    kTwoByteReply);
    }
    return kTwoByteReply;
}

// User/password reply (2 bytes): | ver | status |, status 00 accepted.
int Socket5ProxyHelper::OnAuthReply(const char* data, int len, int* status) {
    int ignored;
    if (!status) status = &ignored;
    if (len < kTwoByteReply || !data) return 0;
    if (len > kTwoByteReply)
        return Fail(status, HS_MALFORMED, L"user/password reply longer than 2 bytes", kTwoByteReply);
    if ((unsigned char)data[1] != 0x00)
        return Fail(status, HS_REFUSED,
                    L"user/password refused, status " + std::to_wstring(unsigned((unsigned char)data[1])),
                    kTwoByteReply);
    if (!SendConnectRequest())
        return Fail(status, HS_MALFORMED, L"connect request not sent", kTwoByteReply);
    return kTwoByteReply;
}

// Connect reply, of 10, 22 or 7 + N bytes:
//
//   +----+-----+----+------+----------------+---------+
//   | 05 | rep | 00 | atyp | bound address  | port    |
//   +----+-----+----+------+----------------+---------+
//     0    1     2    3      4 (IPv4: 4 bytes, IPv6: 16, name: N then N bytes)
//
// rep 00 is success; the bound address and port are not used. A refusal is
// final as soon as rep has arrived.
int Socket5ProxyHelper::OnRequestReply(const char* data, int len, int* status) {
    int ignored;
    if (!status) status = &ignored;
    if (len < 2 || !data) return 0;
    const unsigned char rep = (unsigned char)data[1];
    if (rep != 0x00) return Fail(status, HS_REFUSED, Socks5ReplyText(rep), len);
    if (len < kReplyHead + 1) return 0;
    int whole = 0;
    switch ((unsigned char)data[3]) {
    case kAddressIPv4: whole = kReplyHead + 4 + 2; break;
    case kAddressIPv6: whole = kReplyHead + 16 + 2; break;
    case kAddressDomain: whole = kReplyHead + 1 + (unsigned char)data[4] + 2; break;
    default:
        return Fail(status, HS_MALFORMED,
                    L"connect reply with unknown address type " +
                        std::to_wstring(unsigned((unsigned char)data[3])),
                    len);
    }
    if (len < whole) return 0;
    *status = HS_ESTABLISHED;
    return whole;
}

}  // namespace VemNetwork
