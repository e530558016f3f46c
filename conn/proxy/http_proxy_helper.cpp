#include "conn/proxy/http_proxy_helper.h"

#include "conn/auth/base64.h"
#include "conn/auth/ntlm_messages.h"
#include "conn/proxy/proxy_reply.h"
#include "conn/wide_text.h"
#include "platform/platform.h"

namespace VemNetwork {

namespace {

// Proxies have been seen to care about the exact bytes, so the two header
// blocks stay as they always were: the plain and Basic requests carry
// "Accept: */* " (space before CR) and "Content-Length"; the NTLM requests
// "Accept: */*" and "Content-length".
const wchar_t kPlainTail[] =
    L"Accept: */* \r\nContent-Type: text/html\r\nProxy-Connection: Keep-Alive\r\nContent-Length: 0";
const wchar_t kNtlmTail[] =
    L"Accept: */*\r\nContent-Type: text/html\r\nProxy-Connection: Keep-Alive\r\nContent-length: 0";

const std::vector<std::wstring>* Challenges(const ProxyReply& reply) {
    auto it = reply.headers.find(L"Proxy-Authenticate");
    return it == reply.headers.end() ? nullptr : &it->second;
}

}  // namespace

HttpProxyHelper::HttpProxyHelper(ISock* socket, const ProxyInfo* proxy, const std::wstring* host,
                                 int port)
    : ProxyHelperBase(socket, proxy, host, port), step_(Step::Begin) {}

void HttpProxyHelper::Enter(Step step) {
    static const wchar_t* const kNames[] = {L"begin", L"base_verify", L"ntlm_request",
                                            L"ntlm_response"};
    step_ = step;
    SetStateName(kNames[int(step)]);
}

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
    switch (step_) {
    case Step::Begin:
        return SendBytes(plat::ToAnsi(RequestLine() + L"\r\n" + kPlainTail + L"\r\n\r\n"));
    case Step::BaseVerify: {
        const std::wstring token = BasicToken();
        const std::wstring request = RequestLine() + L"\r\n" + L"Proxy-Authorization: Basic " +
                                     token + L"\r\n" + L"Authorization: Basic " + token + L"\r\n" +
                                     kPlainTail + L"\r\n\r\n";
        return SendBytes(plat::ToAnsi(request));
    }
    case Step::NtlmRequest: {
        std::string negotiate;
        if (!BuildNtlmNegotiate(plat::ToAnsi(proxy_.user), plat::ToAnsi(proxy_.domain), &negotiate))
            return false;
        return SendNtlmRequest(negotiate);
    }
    default:
        // "ntlm_response": the authenticate message goes out only as the
        // answer to a challenge, on the connection that carried it.
        return false;
    }
}

// "HTTP/1.1 407 Proxy Authentication Required; offered: Basic realm=x, NTLM"
std::wstring HttpProxyHelper::Describe(const ProxyReply& reply) {
    std::wstring text = reply.statusLine;
    const std::vector<std::wstring>* offered = Challenges(reply);
    if (offered && !offered->empty()) {
        text += L"; offered:";
        for (size_t i = 0; i < offered->size(); ++i) text += (i ? L", " : L" ") + (*offered)[i];
    }
    return text;
}

int HttpProxyHelper::ChooseScheme(const ProxyReply& reply, int* status) {
    if (proxy_.user.empty())
        return Fail(status, HS_NO_USER, Describe(reply) + L"; no user configured", 0);
    const std::vector<std::wstring>* offered = Challenges(reply);
    if (!offered || offered->empty())
        return Fail(status, HS_MALFORMED, Describe(reply) + L"; no Proxy-Authenticate", 0);
    for (const std::wstring& v : *offered) {
        if (BeginsWithNoCase(v, L"Basic")) {
            Enter(Step::BaseVerify);
            *status = HS_RECONNECT;
            return 0;
        }
    }
    for (const std::wstring& v : *offered) {
        if (BeginsWithNoCase(v, L"NTLM")) {
            Enter(Step::NtlmRequest);
            *status = HS_RECONNECT;
            return 0;
        }
    }
    return Fail(status, HS_NO_METHOD, Describe(reply) + L"; no scheme we speak", 0);
}

int HttpProxyHelper::AnswerChallenge(const ProxyReply& reply, int* status) {
    const std::vector<std::wstring>* offered = Challenges(reply);
    const std::wstring value = (offered && !offered->empty()) ? offered->front() : std::wstring();
    const size_t space = value.find(L' ');
    if (value.empty() || space == std::wstring::npos)
        return Fail(status, HS_MALFORMED, Describe(reply) + L"; no NTLM challenge", 0);

    // The scheme word before the space is not checked: the proxy answered
    // our negotiate message, so the token is its challenge.
    const std::string challenge = plat::ToAnsi(TrimBlanks(value.substr(space + 1)));
    std::string authenticate;
    if (!BuildNtlmAuthenticate(challenge, plat::ToAnsi(proxy_.user), plat::ToAnsi(proxy_.password),
                               &authenticate))
        return Fail(status, HS_MALFORMED, Describe(reply) + L"; unusable NTLM challenge", 0);
    // A refused send would leave the proxy waiting for us and us for it.
    if (!SendNtlmRequest(authenticate))
        return Fail(status, HS_MALFORMED, L"NTLM authenticate message not sent", 0);
    Enter(Step::NtlmResponse);
    return 0;
}

int HttpProxyHelper::OnReply(const char* data, int len, int* status) {
    int ignored;
    if (!status) status = &ignored;
    *status = HS_WAIT;

    ProxyReply reply;
    int consumed = 0;
    if (!ReadProxyReply(data, len, &reply, &consumed)) return 0;

    if (reply.malformed) {
        Fail(status, HS_MALFORMED, L"unreadable status line", 0);
    } else if (reply.code == 200) {
        *status = HS_ESTABLISHED;
    } else if (reply.code != 407) {
        // "ntlm_request" expected a challenge: anything else is unexpected.
        Fail(status, step_ == Step::NtlmRequest ? HS_MALFORMED : HS_REFUSED, Describe(reply), 0);
    } else {
        switch (step_) {
        case Step::Begin: ChooseScheme(reply, status); break;
        case Step::BaseVerify:
            // Basic was refused: NTLM is tried next, offered or not.
            Enter(Step::NtlmRequest);
            *status = HS_RECONNECT;
            break;
        case Step::NtlmRequest: AnswerChallenge(reply, status); break;
        case Step::NtlmResponse:
            Fail(status, HS_REFUSED, Describe(reply) + L"; NTLM credentials refused", 0);
            break;
        }
    }
    return consumed;
}

}  // namespace VemNetwork
