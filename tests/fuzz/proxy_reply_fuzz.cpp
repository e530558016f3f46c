// The HTTP proxy reply reader and parser and the challenge reader, directly
// and through the CONNECT helper in each of its states. The first byte picks the state; the rest is
// the proxy's byte stream, offered the way the socket does: everything
// received so far, minus what the helper consumed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "conn/auth/auth_challenge.h"
#include "conn/auth/digest_auth.h"
#include "conn/proxy/http_proxy_helper.h"
#include "conn/proxy/proxy_reply.h"
#include "platform/platform.h"
#include "platform/security_service.h"
#include "tests/fuzz/fuzz_sock.h"

using namespace VemNetwork;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const int len = int(size - 1);

    {
        ProxyReply reply;
        int consumed = -1;
        const bool complete = ReadProxyReply(bytes, len, &reply, &consumed);
        if (consumed < 0 || consumed > len) std::abort();
        if (!complete && consumed != 0) std::abort();
        ProxyReply again;
        again.text = reply.text;
        ParseProxyReply(&again);
    }

    {
        // The whole input as the values of challenge lines, one per line.
        std::vector<std::wstring> values;
        const std::wstring text = plat::FromAnsi(bytes, size_t(len));
        for (size_t at = 0; at <= text.size();) {
            size_t eol = text.find(L'\n', at);
            if (eol == std::wstring::npos) eol = text.size();
            values.push_back(text.substr(at, eol - at));
            at = eol + 1;
        }
        const std::vector<AuthChallenge> all = ParseChallenges(values);
        DigestChallenge digest;
        std::wstring why;
        if (ChooseDigestChallenge(all, &digest, &why))
            DigestAuthorization(digest, "alice", "secret", "CONNECT", "h:1", 1, "c");
    }

    // The system's security service stays out: no Kerberos from a fuzzer.
    static const bool noSecurityService = [] {
        plat::SetSecurityModule("vemnet-fuzz-no-security-module");
        return true;
    }();
    (void)noSecurityService;
    FuzzSock sock;
    ProxyInfo proxy;
    proxy.host = L"127.0.0.1";
    proxy.port = 3128;
    if (mode & 1) {
        proxy.user = L"alice";
        proxy.password = L"secret";
        proxy.domain = L"CORP";
    }
    const std::wstring target = L"localhost";
    HttpProxyHelper helper(&sock, &proxy, &target, 443);
    helper.Start();
    int status = 0;
    // Walk to the state the mode asks for with well-formed replies.
    const int depth = (mode >> 1) % 4;   // 0 begin, 1 base_verify, 2 ntlm_request, 3 ntlm_response
    if (depth >= 1 && proxy.user.size()) {
        const std::string offer = depth == 1 ? "Basic realm=x" : "NTLM";
        const std::string r = "HTTP/1.1 407 x\r\nProxy-Authenticate: " + offer + "\r\n\r\n";
        helper.OnReply(r.data(), int(r.size()), &status);
        helper.Start();
        if (depth == 3) {
            const std::string c =
                "HTTP/1.1 407 x\r\nProxy-Authenticate: NTLM TlRMTVNTUAACAAAAAAAAADAAAAABAgAAAQIDBAUGBwg=\r\n\r\n";
            helper.OnReply(c.data(), int(c.size()), &status);
        }
    }

    // Feed the stream in slices whose sizes come from the mode byte.
    std::string pending;
    const size_t step = 1 + (mode >> 3) * 7;
    for (size_t at = 0; at < size_t(len); at += step) {
        pending.append(bytes + at, std::min(step, size_t(len) - at));
        status = -1;
        const int consumed = helper.OnReply(pending.data(), int(pending.size()), &status);
        CheckAnswer(consumed, status, int(pending.size()));
        pending.erase(0, size_t(consumed));
        if (status != HS_WAIT) break;
    }
    return 0;
}
