// The CONNECT handshake with an HTTP proxy: none, Basic or NTLM proxy
// authentication. Every authentication costs a new connection to the proxy:
// the first 407 answers HS_RECONNECT, and the connection calls Init and Start
// again on this same helper, which then sends the request of the step
// reached.
//
//   step           Start sends            OnReply on 200 / 407 / other
//   "begin"        plain CONNECT          0 / scheme choice (1, 4, 5 or 6) / 3
//   "base_verify"  CONNECT with Basic     0 / 1 (on to "ntlm_request") / 3
//   "ntlm_request" CONNECT with negotiate 0 / authenticate sent, 2 / 6
//   "ntlm_response" nothing               0 / 3 / 3
//
// A reply whose status line is too short to carry a version gives 6.
#ifndef VEMNET_HTTP_PROXY_HELPER_H
#define VEMNET_HTTP_PROXY_HELPER_H

#include <string>

#include "conn/proxy/proxy_helper.h"

namespace VemNetwork {

struct ProxyReply;

class HttpProxyHelper : public ProxyHelperBase {
public:
    HttpProxyHelper(ISock* socket, const ProxyInfo* proxy, const std::wstring* host, int port);

    bool Start() override;
    int OnReply(const char* data, int len, int* status) override;

private:
    std::wstring RequestLine() const;
    std::wstring BasicToken() const;
    // "CONNECT ...\r\nProxy-Authorization: NTLM <message>\r\n..." for the
    // negotiate and the authenticate message alike.
    bool SendNtlmRequest(const std::string& message);
    // Each sets *status; both return 0 for `return`.
    int ChooseScheme(const ProxyReply& reply, int* status);
    int AnswerChallenge(const ProxyReply& reply, int* status);
    // The status line and the schemes offered, for the log.
    static std::wstring Describe(const ProxyReply& reply);

    enum class Step { Begin, BaseVerify, NtlmRequest, NtlmResponse };
    void Enter(Step step);

    Step step_;
};

}  // namespace VemNetwork

#endif
