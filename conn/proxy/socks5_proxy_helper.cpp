#include "conn/proxy/socks5_proxy_helper.h"

#include "platform/platform.h"

namespace VemNetwork {

namespace {

// Largest value of a one-byte length field.
const size_t kMaxField = 255;

}  // namespace

Socket5ProxyHelper::Socket5ProxyHelper(ISock* socket, const ProxyInfo* proxy,
                                       const std::wstring* host, int port)
    : ProxyHelperBase(socket, proxy, host, port) {}

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
        state_ = L"failed";
        return false;
    }
    const char greeting[3] = {'\x05', '\x01', withUser ? '\x02' : '\x00'};
    state_ = L"init";
    return SendBytes(std::string(greeting, 3));
}

int Socket5ProxyHelper::OnReply(const char* data, int len, int* status) {
    int ignored;
    if (!status) status = &ignored;
    *status = HS_WAIT;
    if (state_ == L"init") return OnMethodReply(data, len, status);
    if (state_ == L"auth") return OnAuthReply(data, len, status);
    if (state_ == L"request") return OnRequestReply(data, len, status);
    if (Failed()) *status = HS_MALFORMED;
    return 0;
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
    state_ = L"auth";
    return SendBytes(request);
}

// Connect request (N + 7 bytes), domain-name form for every target, a dotted
// address included:
//
//   +----+----+----+----+---+-----------+---------+
//   | 05 | 01 | 00 | 03 | N | host name | port    |
//   +----+----+----+----+---+-----------+---------+
//     0    1    2    3    4   5..4+N      5+N..6+N   (port big-endian)
bool Socket5ProxyHelper::SendConnectRequest() {
    const std::string name = plat::ToAnsi(host_);
    if (name.size() > kMaxField) return false;
    const unsigned port = unsigned(port_) & 0xFFFF;
    std::string request("\x05\x01\x00\x03", 4);
    request += char(name.size());
    request += name;
    request += char(port >> 8);
    request += char(port & 0xFF);
    state_ = L"request";
    return SendBytes(request);
}

// Method reply (2 bytes): | ver | method |. 00 none, 02 user/password,
// FF nothing acceptable. The proxy may pick 00 even when we offered 02.
int Socket5ProxyHelper::OnMethodReply(const char* data, int len, int* status) {
    int ignored;
    if (!status) status = &ignored;
    if (len < 2 || !data) return 0;
    if (len > 2) {
        *status = HS_MALFORMED;
        return 2;
    }
    const unsigned char method = (unsigned char)data[1];
    if (method == 0x00) {
        if (!SendConnectRequest()) *status = HS_MALFORMED;
    } else if (method == 0x02) {
        if (proxy_.user.empty()) {
            *status = HS_NO_USER;
        } else if (!SendAuthRequest()) {
            *status = HS_MALFORMED;
        }
    } else if (method == 0xFF) {
        *status = HS_NO_USER;
    } else {
        *status = HS_NO_METHOD;
    }
    return 2;
}

// User/password reply (2 bytes): | ver | status |, status 00 accepted.
int Socket5ProxyHelper::OnAuthReply(const char* data, int len, int* status) {
    int ignored;
    if (!status) status = &ignored;
    if (len < 2 || !data) return 0;
    if (len > 2) {
        *status = HS_MALFORMED;
        return 2;
    }
    if ((unsigned char)data[1] != 0x00) {
        *status = HS_REFUSED;
    } else if (!SendConnectRequest()) {
        *status = HS_MALFORMED;
    }
    return 2;
}

// Connect reply, accepted only in its IPv4 form (10 bytes):
//
//   +----+-----+----+----+-------------+---------+
//   | 05 | rep | 00 | 01 | bound addr  | port    |
//   +----+-----+----+----+-------------+---------+
//     0    1     2    3    4..7          8..9
//
// rep 00 is success; the bound address and port are not used. A longer
// reply (domain or IPv6 address, or tunnel data behind it) fails.
int Socket5ProxyHelper::OnRequestReply(const char* data, int len, int* status) {
    int ignored;
    if (!status) status = &ignored;
    if (len < 10 || !data) return 0;
    if (len > 10) {
        *status = HS_MALFORMED;
        return 10;
    }
    *status = (unsigned char)data[1] == 0x00 ? HS_ESTABLISHED : HS_REFUSED;
    return 10;
}

}  // namespace VemNetwork
