// The challenges of a proxy's "Proxy-Authenticate" lines (RFC 9110, 11.6.1):
// a line may carry several challenges separated by commas, each a scheme
// followed by a token (NTLM, Negotiate) or by name=value parameters whose
// values may be quoted strings with commas and backslash escapes inside.
//
//   Proxy-Authenticate: Digest realm="a, b", nonce="n", qop="auth,auth-int", Basic realm="c"
//   Proxy-Authenticate: NTLM TlRMTVNTUAACAAAA...
//   Proxy-Authenticate: Negotiate
#ifndef VEMNET_AUTH_CHALLENGE_H
#define VEMNET_AUTH_CHALLENGE_H

#include <string>
#include <utility>
#include <vector>

namespace VemNetwork {

// The schemes the CONNECT helper speaks, strongest first: the order in which
// it tries those a proxy offers.
enum class AuthScheme { Negotiate, Ntlm, Digest, Basic, Other };
const int kAuthSchemeCount = 4;   // the known ones, Negotiate to Basic

// The scheme's name as written on the wire ("Negotiate", "NTLM", ...).
const wchar_t* AuthSchemeName(AuthScheme scheme);

struct AuthChallenge {
    AuthScheme scheme = AuthScheme::Other;
    std::wstring name;    // the scheme word as received
    std::wstring token;   // the token after the scheme (NTLM's, Negotiate's)
    // Parameter names in lower case, values unquoted and unescaped.
    std::vector<std::pair<std::wstring, std::wstring>> params;

    // The value of a parameter (name in lower case); null when absent.
    const std::wstring* Param(const wchar_t* name) const;
};

// Every challenge of the given header values, in their order. Text that
// cannot be read ends the value it is in; what was read before stays.
std::vector<AuthChallenge> ParseChallenges(const std::vector<std::wstring>& values);

// The first challenge of a scheme, or null.
const AuthChallenge* FindChallenge(const std::vector<AuthChallenge>& all, AuthScheme scheme);

}  // namespace VemNetwork

#endif
