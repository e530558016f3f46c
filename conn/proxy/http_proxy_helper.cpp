#include "conn/proxy/http_proxy_helper.h"

#include "conn/auth/base64.h"
#include "conn/auth/ntlm_messages.h"
#include "conn/proxy/proxy_reply.h"
#include "conn/wide_text.h"
#include "platform/platform.h"
#include "platform/security_service.h"

namespace VemNetwork {

namespace {

// Proxies have been seen to care about the exact bytes, so the two header
// blocks stay as they always were: the plain, Basic and Digest requests carry
// "Accept: */* " (space before CR) and "Content-Length"; the NTLM and
// Negotiate requests "Accept: */*" and "Content-length".
const wchar_t kPlainTail[] =
    L"Accept: */* \r\nContent-Type: text/html\r\nProxy-Connection: Keep-Alive\r\nContent-Length: 0";
const wchar_t kTokenTail[] =
    L"Accept: */*\r\nContent-Type: text/html\r\nProxy-Connection: Keep-Alive\r\nContent-length: 0";

const char kConnectMethod[] = "CONNECT";
const unsigned kFirstNonceCount = 1;

const std::vector<std::wstring>* Challenges(const ProxyReply& reply) {
    auto it = reply.headers.find(L"Proxy-Authenticate");
    return it == reply.headers.end() ? nullptr : &it->second;
}

std::vector<AuthChallenge> ParsedChallenges(const ProxyReply& reply) {
    const std::vector<std::wstring>* values = Challenges(reply);
    return values ? ParseChallenges(*values) : std::vector<AuthChallenge>();
}

unsigned Bit(AuthScheme scheme) { return 1u << unsigned(scheme); }

}  // namespace

HttpProxyHelper::HttpProxyHelper(ISock* socket, const ProxyInfo* proxy, const std::wstring* host, int port)
    : ProxyHelperBase(socket, proxy, host, port), step_(Step::Begin) {}

HttpProxyHelper::~HttpProxyHelper() {}

void HttpProxyHelper::Enter(Step step) {
    static const wchar_t* const kNames[] = {L"begin",         L"base_verify",   L"ntlm_request",
                                            L"ntlm_response", L"digest_verify", L"negotiate_request"};
    step_ = step;
    SetStateName(kNames[int(step)]);
}

std::wstring HttpProxyHelper::RequestLine() const {
    return L"CONNECT " + TargetAuthority() + L" HTTP/1.1";
}

std::wstring HttpProxyHelper::BasicToken() const {
    const std::string credentials = plat::ToAnsi(ToWString(proxy_.user) + L":" + ToWString(proxy_.password));
    return plat::FromAnsi(Base64EncodeString(credentials, BASE64_FLAG_NOCRLF));
}

bool HttpProxyHelper::SendTokenRequest(AuthScheme scheme, const std::string& base64) {
    const std::wstring request = RequestLine() + L"\r\n" + L"Proxy-Authorization: " + AuthSchemeName(scheme) + L" " +
                                 plat::FromAnsi(base64) + L"\r\n" + kTokenTail + L"\r\n\r\n";
    sent_ = true;
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
        sent_ = true;
        return SendBytes(plat::ToAnsi(request));
    }
    case Step::DigestVerify: {
        const std::string uri = plat::ToAnsi(TargetAuthority());
        const std::string value =
            DigestAuthorization(digest_, plat::ToAnsi(ToWString(proxy_.user)), plat::ToAnsi(ToWString(proxy_.password)),
                                kConnectMethod, uri, kFirstNonceCount, cnonce_);
        sent_ = true;
        return SendBytes(plat::ToAnsi(RequestLine() + L"\r\n") + "Proxy-Authorization: " + value + "\r\n" +
                         plat::ToAnsi(std::wstring(kPlainTail) + L"\r\n\r\n"));
    }
    case Step::NegotiateRequest:
        return SendTokenRequest(AuthScheme::Negotiate, Base64EncodeString(firstToken_, BASE64_FLAG_NOCRLF));
    case Step::NtlmRequest: {
        if (security_) return SendTokenRequest(AuthScheme::Ntlm, Base64EncodeString(firstToken_, BASE64_FLAG_NOCRLF));
        std::string negotiate;
        if (!BuildNtlmNegotiate(plat::ToAnsi(proxy_.user), plat::ToAnsi(proxy_.domain), &negotiate))
            return false;
        return SendTokenRequest(AuthScheme::Ntlm, negotiate);
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

bool HttpProxyHelper::Prepare(AuthScheme scheme, std::wstring* why) {
    const bool hasUser = !proxy_.user.empty();
    const std::wstring service = L"HTTP@" + ToWString(proxy_.host);
    plat::SecurityIdentity identity;
    if (hasUser && !proxy_.password.empty()) {
        identity.user = ToWString(proxy_.user);
        identity.domain = ToWString(proxy_.domain);
        identity.password = ToWString(proxy_.password);
    }
    security_.reset();
    switch (scheme) {
    case AuthScheme::Negotiate:
    case AuthScheme::Ntlm: {
        // NTLM with a user and password is built here (libntlm); the
        // security service speaks it for the signed-in user.
        if (scheme == AuthScheme::Ntlm && hasUser) return true;
        const plat::SecurityPackage package =
            scheme == AuthScheme::Negotiate ? plat::SecurityPackage::Negotiate : plat::SecurityPackage::Ntlm;
        security_ = plat::NewSecurityContext(package, service, identity, why);
        if (!security_) return false;
        if (!security_->Step(std::string(), &firstToken_, why) || firstToken_.empty()) {
            if (why->empty()) *why = L"the security service gave no token";
            security_.reset();
            return false;
        }
        return true;
    }
    case AuthScheme::Digest:
        if (!hasUser) {
            *why = L"no user configured";
            return false;
        }
        if (!ChooseDigestChallenge(offered_, &digest_, why)) return false;
        cnonce_ = NewDigestCnonce();
        staleRetried_ = false;
        return true;
    case AuthScheme::Basic:
        if (!hasUser) *why = L"no user configured";
        return hasUser;
    default:
        return false;
    }
}

void HttpProxyHelper::Note(AuthScheme scheme, const std::wstring& why) {
    attempts_ += (attempts_.empty() ? L"" : L"; ") + std::wstring(AuthSchemeName(scheme)) + L": " + why;
}

void HttpProxyHelper::MoveOn(AuthScheme failed, const std::wstring& why, const ProxyReply& reply, int* status) {
    if (failed != AuthScheme::Other) Note(failed, why);
    security_.reset();
    for (int i = 0; i < kAuthSchemeCount; ++i) {
        const AuthScheme scheme = AuthScheme(i);
        if (tried_ & Bit(scheme)) continue;
        const bool offered = FindChallenge(offered_, scheme) != nullptr;
        // After Basic, NTLM too: proxies accepting it unoffered are known.
        const bool ntlmAfterBasic = scheme == AuthScheme::Ntlm && (tried_ & Bit(AuthScheme::Basic)) &&
                                    !proxy_.user.empty();
        if (!offered && !ntlmAfterBasic) continue;
        tried_ |= Bit(scheme);
        std::wstring reason;
        if (Prepare(scheme, &reason)) {
            static const Step kFirstStep[kAuthSchemeCount] = {Step::NegotiateRequest, Step::NtlmRequest,
                                                               Step::DigestVerify, Step::BaseVerify};
            Enter(kFirstStep[i]);
            *status = HS_RECONNECT;
            return;
        }
        Note(scheme, reason);
        i = -1;   // a skipped Basic may make NTLM wanted: look again from the top
    }
    int how = HS_NO_METHOD;
    if (sent_) how = HS_REFUSED;
    else if (proxy_.user.empty()) how = HS_NO_USER;
    // An NTLM dialogue the proxy broke off keeps its own status.
    if (step_ == Step::NtlmRequest) how = HS_MALFORMED;
    Fail(status, how, Describe(reply) + (attempts_.empty() ? L"; no scheme we speak" : L"; tried " + attempts_), 0);
}

void HttpProxyHelper::ChooseScheme(const ProxyReply& reply, int* status) {
    const std::vector<std::wstring>* values = Challenges(reply);
    if (!values || values->empty()) {
        Fail(status, HS_MALFORMED, Describe(reply) + L"; no Proxy-Authenticate", 0);
        return;
    }
    offered_ = ParseChallenges(*values);
    MoveOn(AuthScheme::Other, std::wstring(), reply, status);
}

void HttpProxyHelper::AnswerNtlmChallenge(const ProxyReply& reply, int* status) {
    // The token is taken whatever follows "NTLM" in the scheme word: the
    // proxy answered our negotiate message.
    const std::vector<AuthChallenge> all = ParsedChallenges(reply);
    const AuthChallenge* challenge = FindChallenge(all, AuthScheme::Ntlm);
    if (!challenge || challenge->token.empty()) {
        MoveOn(AuthScheme::Ntlm, L"no NTLM challenge in " + Describe(reply), reply, status);
        return;
    }
    const std::string token = plat::ToAnsi(challenge->token);
    std::string authenticate;
    std::wstring why;
    if (security_) {
        std::string raw;
        if (!security_->Step(Base64DecodeString(token), &raw, &why) || raw.empty()) {
            MoveOn(AuthScheme::Ntlm, why.empty() ? L"no authenticate message" : why, reply, status);
            return;
        }
        authenticate = Base64EncodeString(raw, BASE64_FLAG_NOCRLF);
    } else if (!BuildNtlmAuthenticate(token, plat::ToAnsi(proxy_.user), plat::ToAnsi(proxy_.password),
                                      &authenticate)) {
        Fail(status, HS_MALFORMED, Describe(reply) + L"; unusable NTLM challenge", 0);
        return;
    }
    // A refused send would leave the proxy waiting for us and us for it.
    if (!SendTokenRequest(AuthScheme::Ntlm, authenticate)) {
        Fail(status, HS_MALFORMED, L"NTLM authenticate message not sent", 0);
        return;
    }
    Enter(Step::NtlmResponse);
}

void HttpProxyHelper::AnswerNegotiate(const ProxyReply& reply, int* status) {
    const std::vector<AuthChallenge> all = ParsedChallenges(reply);
    const AuthChallenge* challenge = FindChallenge(all, AuthScheme::Negotiate);
    if (!challenge || challenge->token.empty() || !security_) {
        MoveOn(AuthScheme::Negotiate, L"refused by the proxy", reply, status);
        return;
    }
    // The rare second leg: the proxy's token goes back to the service, and
    // its answer out on the same connection.
    std::string next;
    std::wstring why;
    if (!security_->Step(Base64DecodeString(plat::ToAnsi(challenge->token)), &next, &why) || next.empty()) {
        MoveOn(AuthScheme::Negotiate, why.empty() ? L"refused by the proxy" : why, reply, status);
        return;
    }
    if (!SendTokenRequest(AuthScheme::Negotiate, Base64EncodeString(next, BASE64_FLAG_NOCRLF)))
        Fail(status, HS_MALFORMED, L"Negotiate continuation not sent", 0);
}

void HttpProxyHelper::AnswerDigestRefusal(const ProxyReply& reply, int* status) {
    // A stale nonce: the credentials were right, the nonce too old. Once
    // more with the new one.
    DigestChallenge fresh;
    std::wstring why;
    if (!staleRetried_ && ChooseDigestChallenge(ParsedChallenges(reply), &fresh, &why) && fresh.stale) {
        digest_ = fresh;
        cnonce_ = NewDigestCnonce();
        staleRetried_ = true;
        *status = HS_RECONNECT;
        return;
    }
    MoveOn(AuthScheme::Digest, staleRetried_ ? L"refused after a stale nonce" : L"credentials refused", reply, status);
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
        Fail(status, step_ == Step::NtlmRequest ? HS_MALFORMED : HS_REFUSED,
             Describe(reply) + (attempts_.empty() ? L"" : L"; tried " + attempts_), 0);
    } else {
        switch (step_) {
        case Step::Begin: ChooseScheme(reply, status); break;
        case Step::BaseVerify: MoveOn(AuthScheme::Basic, L"credentials refused", reply, status); break;
        case Step::NtlmRequest: AnswerNtlmChallenge(reply, status); break;
        case Step::NtlmResponse: MoveOn(AuthScheme::Ntlm, L"credentials refused", reply, status); break;
        case Step::DigestVerify: AnswerDigestRefusal(reply, status); break;
        case Step::NegotiateRequest: AnswerNegotiate(reply, status); break;
        }
    }
    return consumed;
}

}  // namespace VemNetwork
