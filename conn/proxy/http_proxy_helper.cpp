#include "conn/proxy/http_proxy_helper.h"

#include <cwctype>

#include "conn/auth/base64.h"
#include "conn/auth/ntlm_messages.h"
#include "conn/proxy/proxy_reply.h"
#include "conn/wide_text.h"
#include "platform/platform.h"

namespace VemNetwork {

namespace {

const wchar_t kBegin[] = L"begin";
const wchar_t kBaseVerify[] = L"base_verify";
const wchar_t kNtlmRequest[] = L"ntlm_request";
const wchar_t kNtlmResponse[] = L"ntlm_response";

// Proxies have been seen to care about the exact bytes, so the two header
// blocks stay as they always were: the plain and Basic requests carry
// "Accept: */* " (space before CR) and "Content-Length"; the NTLM requests
// "Accept: */*" and "Content-length".
const wchar_t kPlainTail[] =
    L"Accept: */* \r\nContent-Type: text/html\r\nProxy-Connection: Keep-Alive\r\nContent-Length: 0";
const wchar_t kNtlmTail[] =
    L"Accept: */*\r\nContent-Type: text/html\r\nProxy-Connection: Keep-Alive\r\nContent-length: 0";

bool IsSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

std::wstring Trim(const std::wstring& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsSpace(s[b])) ++b;
    while (e > b && IsSpace(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// True when value begins with scheme, letter case aside.
bool BeginsWithNoCase(const std::wstring& value, const wchar_t* scheme) {
    for (size_t i = 0; scheme[i]; ++i) {
        if (i >= value.size() || std::towlower(value[i]) != std::towlower(scheme[i])) return false;
    }
    return true;
}

const std::vector<std::wstring>* Challenges(const ProxyReply& reply) {
    auto it = reply.headers.find(L"Proxy-Authenticate");
    return it == reply.headers.end() ? nullptr : &it->second;
}

}  // namespace

HttpProxyHelper::HttpProxyHelper(ISock* socket, const ProxyInfo* proxy, const std::wstring* host,
                                 int port)
    : ProxyHelperBase(socket, proxy, host, port) {}

std::wstring HttpProxyHelper::RequestLine() const {
    return L"CONNECT " + host_ + L":" + std::to_wstring(port_) + L" HTTP/1.1";
}

std::wstring HttpProxyHelper::BasicToken() const {
    const std::string credentials = plat::ToAnsi(ToWString(proxy_.user) + L":" + ToWString(proxy_.password));
    return plat::FromAnsi(Base64EncodeString(credentials, BASE64_FLAG_NOCRLF));
}

bool HttpProxyHelper::SendNtlmRequest(const std::string& message) {
    const std::wstring request = RequestLine() + L"\r\n" + L"Proxy-Authorization: NTLM " +
                                 plat::FromAnsi(message) + L"\r\n" + kNtlmTail + L"\r\n\r\n";
    return SendBytes(plat::ToAnsi(request));
}

bool HttpProxyHelper::Start() {
    if (state_ == kBegin) {
        return SendBytes(plat::ToAnsi(RequestLine() + L"\r\n" + kPlainTail + L"\r\n\r\n"));
    }
    if (state_ == kBaseVerify) {
        const std::wstring token = BasicToken();
        const std::wstring request = RequestLine() + L"\r\n" + L"Proxy-Authorization: Basic " +
                                     token + L"\r\n" + L"Authorization: Basic " + token + L"\r\n" +
                                     kPlainTail + L"\r\n\r\n";
        return SendBytes(plat::ToAnsi(request));
    }
    if (state_ == kNtlmRequest) {
        std::string negotiate;
        if (!BuildNtlmNegotiate(plat::ToAnsi(proxy_.user), plat::ToAnsi(proxy_.domain), &negotiate))
            return false;
        return SendNtlmRequest(negotiate);
    }
    // "ntlm_response": the authenticate message goes out only as the answer
    // to a challenge, on the connection that carried it.
    return false;
}

int HttpProxyHelper::ChooseScheme(const ProxyReply& reply) {
    if (proxy_.user.empty()) return HS_NO_USER;
    const std::vector<std::wstring>* offered = Challenges(reply);
    if (!offered || offered->empty()) return HS_MALFORMED;
    for (const std::wstring& v : *offered) {
        if (BeginsWithNoCase(v, L"Basic")) {
            state_ = kBaseVerify;
            return HS_RECONNECT;
        }
    }
    for (const std::wstring& v : *offered) {
        if (BeginsWithNoCase(v, L"NTLM")) {
            state_ = kNtlmRequest;
            return HS_RECONNECT;
        }
    }
    return HS_NO_METHOD;
}

int HttpProxyHelper::AnswerChallenge(const ProxyReply& reply) {
    const std::vector<std::wstring>* offered = Challenges(reply);
    const std::wstring value = (offered && !offered->empty()) ? offered->front() : std::wstring();
    const size_t space = value.find(L' ');
    if (value.empty() || space == std::wstring::npos) return HS_MALFORMED;

    // The scheme word before the space is not checked: the proxy answered
    // our negotiate message, so the token is its challenge.
    const std::string challenge = plat::ToAnsi(Trim(value.substr(space + 1)));
    std::string authenticate;
    if (!BuildNtlmAuthenticate(challenge, plat::ToAnsi(proxy_.user), plat::ToAnsi(proxy_.password),
                               &authenticate))
        return HS_MALFORMED;
    // A refused send would leave the proxy waiting for us and us for it.
    if (!SendNtlmRequest(authenticate)) return HS_MALFORMED;
    state_ = kNtlmResponse;
    return HS_WAIT;
}

int HttpProxyHelper::OnReply(const char* data, int len, int* status) {
    int ignored;
    if (!status) status = &ignored;
    *status = HS_WAIT;

    const bool begin = state_ == kBegin, baseVerify = state_ == kBaseVerify,
               ntlmRequest = state_ == kNtlmRequest, ntlmResponse = state_ == kNtlmResponse;
    if (!begin && !baseVerify && !ntlmRequest && !ntlmResponse) return 0;

    ProxyReply reply;
    int consumed = 0;
    if (!ReadProxyReply(data, len, &reply, &consumed)) return 0;

    if (reply.malformed) {
        *status = HS_MALFORMED;
    } else if (reply.code == 200) {
        *status = HS_ESTABLISHED;
    } else if (begin) {
        *status = reply.code == 407 ? ChooseScheme(reply) : HS_REFUSED;
    } else if (baseVerify) {
        if (reply.code == 407) {
            // Basic was refused: NTLM is tried next, offered or not.
            state_ = kNtlmRequest;
            *status = HS_RECONNECT;
        } else {
            *status = HS_REFUSED;
        }
    } else if (ntlmRequest) {
        *status = reply.code == 407 ? AnswerChallenge(reply) : HS_MALFORMED;
    } else {
        *status = HS_REFUSED;
    }
    return consumed;
}

}  // namespace VemNetwork
