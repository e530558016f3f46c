// The CONNECT handshake with an HTTP proxy: none, Negotiate, NTLM, Digest or
// Basic proxy authentication. Of the schemes a proxy offers, the strongest is
// tried first (Negotiate, NTLM, Digest, Basic), each at most once per
// connection attempt; a refused or impossible one moves on to the next. Each
// scheme starts on a new connection to the proxy: a 407 answers HS_RECONNECT,
// and the connection calls Init and Start again on this same helper, which
// then sends the request of the step reached.
//
//   step                Start sends               OnReply on 200 / 407 / other
//   "begin"             plain CONNECT             0 / scheme choice / 3
//   "negotiate_request" CONNECT with a token      0 / continuation sent (2) or next / 3
//   "ntlm_request"      CONNECT with negotiate    0 / authenticate sent (2) or next / 6
//   "ntlm_response"     nothing                   0 / next / 3
//   "digest_verify"     CONNECT with Digest       0 / stale: again once (1); else next / 3
//   "base_verify"       CONNECT with Basic        0 / next / 3
//
// "next" is the next scheme offered and not yet tried (1), or the end: 3
// when a scheme was tried and refused, 5 when none could be tried for want
// of a user, 4 when none is one we speak. After Basic is refused NTLM is
// tried too, offered or not, as proxies that accept it without offering it
// have been met.
// A reply whose status line is too short to carry a version gives 6.
#ifndef VEMNET_HTTP_PROXY_HELPER_H
#define VEMNET_HTTP_PROXY_HELPER_H

#include <memory>
#include <string>
#include <vector>

#include "conn/auth/auth_challenge.h"
#include "conn/auth/digest_auth.h"
#include "conn/proxy/proxy_helper.h"

namespace plat {
class SecurityContext;
}

namespace VemNetwork {

struct ProxyReply;

class HttpProxyHelper : public ProxyHelperBase {
public:
    HttpProxyHelper(ISock* socket, const ProxyInfo* proxy, const std::wstring* host, int port);
    ~HttpProxyHelper() override;

    bool Start() override;
    int OnReply(const char* data, int len, int* status) override;

private:
    std::wstring RequestLine() const;
    std::wstring BasicToken() const;
    // "CONNECT ...\r\nProxy-Authorization: <scheme> <message>\r\n..." for
    // the NTLM and Negotiate messages alike.
    bool SendTokenRequest(AuthScheme scheme, const std::string& base64);
    // Each sets *status.
    void ChooseScheme(const ProxyReply& reply, int* status);
    // Adds "<scheme>: why" to the attempts named in the failure line.
    void Note(AuthScheme scheme, const std::wstring& why);
    // Records why `failed` did not open the tunnel (none: the first 407)
    // and starts the next scheme, or ends the handshake.
    void MoveOn(AuthScheme failed, const std::wstring& why, const ProxyReply& reply, int* status);
    // Gets the scheme ready to start on the next connection; false with the
    // reason when it cannot be used.
    bool Prepare(AuthScheme scheme, std::wstring* why);
    void AnswerNtlmChallenge(const ProxyReply& reply, int* status);
    void AnswerNegotiate(const ProxyReply& reply, int* status);
    void AnswerDigestRefusal(const ProxyReply& reply, int* status);
    // The status line and the schemes offered, for the log.
    static std::wstring Describe(const ProxyReply& reply);

    enum class Step { Begin, BaseVerify, NtlmRequest, NtlmResponse, DigestVerify, NegotiateRequest };
    void Enter(Step step);

    Step step_;
    std::vector<AuthChallenge> offered_;   // the challenges of the first 407
    unsigned tried_ = 0;                   // bit per AuthScheme
    bool sent_ = false;                    // credentials reached the proxy
    std::wstring attempts_;                // "NTLM: refused; Basic: ..." for the log
    DigestChallenge digest_;
    bool staleRetried_ = false;
    std::string cnonce_;
    // The security service's dialogue (Negotiate; NTLM for the signed-in
    // user) and the token Start sends.
    std::unique_ptr<plat::SecurityContext> security_;
    std::string firstToken_;
};

}  // namespace VemNetwork

#endif
