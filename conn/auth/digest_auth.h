// HTTP Digest access authentication (RFC 7616, and the RFC 2617 forms still
// sent: no qop, MD5-sess): reading a Digest challenge and answering it.
// Knows nothing of the CONNECT handshake.
#ifndef VEMNET_DIGEST_AUTH_H
#define VEMNET_DIGEST_AUTH_H

#include <string>
#include <vector>

#include "conn/auth/auth_challenge.h"

namespace VemNetwork {

enum class DigestAlgorithm { Md5, Md5Sess, Sha256, Sha256Sess };

// A challenge's values, in the ANSI code page.
struct DigestChallenge {
    DigestAlgorithm algorithm = DigestAlgorithm::Md5;
    std::string algorithmName;   // as it goes back: "MD5", "SHA-256", ...
    std::string realm;
    std::string nonce;
    std::string opaque;          // empty when none was given
    bool hasOpaque = false;
    std::string qop;             // "auth", "auth-int" or empty (RFC 2069 form)
    bool stale = false;
};

// The first Digest challenge of all whose algorithm and qop we can answer,
// strongest algorithm first (SHA-256 before MD5, RFC 7616 3.7). False, with
// the reason in *why, when there is none.
bool ChooseDigestChallenge(const std::vector<AuthChallenge>& all, DigestChallenge* out, std::wstring* why);

// The "Proxy-Authorization" value ("Digest username=..., response=...") for
// method and uri, with nonce count nc and client nonce cnonce.
std::string DigestAuthorization(const DigestChallenge& c, const std::string& user, const std::string& password,
                                const std::string& method, const std::string& uri, unsigned nc,
                                const std::string& cnonce);

// A fresh client nonce: 16 random bytes in hex.
std::string NewDigestCnonce();

}  // namespace VemNetwork

#endif
