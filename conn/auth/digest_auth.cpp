#include "conn/auth/digest_auth.h"

#include <cstdio>
#include <random>

#include "conn/auth/hash_functions.h"
#include "conn/wide_text.h"
#include "platform/platform.h"

namespace VemNetwork {

namespace {

const int kCnonceBytes = 16;

struct AlgorithmName {
    const wchar_t* name;
    DigestAlgorithm algorithm;
};
// Strongest first: the order in which offered challenges are taken.
const AlgorithmName kAlgorithms[] = {
    {L"SHA-256", DigestAlgorithm::Sha256},
    {L"SHA-256-sess", DigestAlgorithm::Sha256Sess},
    {L"MD5", DigestAlgorithm::Md5},
    {L"MD5-sess", DigestAlgorithm::Md5Sess},
};

bool IsSess(DigestAlgorithm a) { return a == DigestAlgorithm::Md5Sess || a == DigestAlgorithm::Sha256Sess; }

std::string Hash(DigestAlgorithm a, const std::string& text) {
    return a == DigestAlgorithm::Sha256 || a == DigestAlgorithm::Sha256Sess ? Sha256Hex(text) : Md5Hex(text);
}

// qop="auth,auth-int": auth when offered, else auth-int; empty when absent
// (the RFC 2069 form). False when only qops we do not know are offered.
bool ChooseQop(const AuthChallenge& c, std::string* qop) {
    qop->clear();
    const std::wstring* offered = c.Param(L"qop");
    if (!offered) return true;
    bool auth = false, authInt = false;
    size_t from = 0;
    while (from <= offered->size()) {
        size_t comma = offered->find(L',', from);
        if (comma == std::wstring::npos) comma = offered->size();
        const std::wstring one = TrimBlanks(offered->substr(from, comma - from));
        if (EqualsNoCase(one, L"auth")) auth = true;
        if (EqualsNoCase(one, L"auth-int")) authInt = true;
        from = comma + 1;
    }
    if (auth) *qop = "auth";
    else if (authInt) *qop = "auth-int";
    return auth || authInt;
}

// A quoted-string: backslash before a quote or a backslash.
std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char ch : s) {
        if (ch == '"' || ch == '\\') out.push_back('\\');
        out.push_back(ch);
    }
    return out + "\"";
}

}  // namespace

bool ChooseDigestChallenge(const std::vector<AuthChallenge>& all, DigestChallenge* out, std::wstring* why) {
    *why = L"no Digest challenge";
    for (const AlgorithmName& wanted : kAlgorithms) {
        for (const AuthChallenge& c : all) {
            if (c.scheme != AuthScheme::Digest) continue;
            const std::wstring* algorithm = c.Param(L"algorithm");
            const std::wstring name = algorithm ? *algorithm : L"MD5";
            if (!EqualsNoCase(name, wanted.name)) {
                *why = L"Digest algorithm " + name + L" not supported";
                continue;
            }
            const std::wstring* nonce = c.Param(L"nonce");
            std::string qop;
            if (!nonce) {
                *why = L"Digest challenge without nonce";
                continue;
            }
            if (!ChooseQop(c, &qop)) {
                *why = L"Digest qop " + *c.Param(L"qop") + L" not supported";
                continue;
            }
            out->algorithm = wanted.algorithm;
            out->algorithmName = plat::ToAnsi(wanted.name);
            const std::wstring* realm = c.Param(L"realm");
            out->realm = realm ? plat::ToAnsi(*realm) : std::string();
            out->nonce = plat::ToAnsi(*nonce);
            const std::wstring* opaque = c.Param(L"opaque");
            out->hasOpaque = opaque != nullptr;
            out->opaque = opaque ? plat::ToAnsi(*opaque) : std::string();
            out->qop = qop;
            const std::wstring* stale = c.Param(L"stale");
            out->stale = stale && EqualsNoCase(*stale, L"true");
            return true;
        }
    }
    return false;
}

std::string DigestAuthorization(const DigestChallenge& c, const std::string& user, const std::string& password,
                                const std::string& method, const std::string& uri, unsigned nc,
                                const std::string& cnonce) {
    char count[16];
    std::snprintf(count, sizeof count, "%08x", nc);
    std::string ha1 = Hash(c.algorithm, user + ":" + c.realm + ":" + password);
    if (IsSess(c.algorithm)) ha1 = Hash(c.algorithm, ha1 + ":" + c.nonce + ":" + cnonce);
    std::string a2 = method + ":" + uri;
    // CONNECT carries no body: auth-int protects the empty one.
    if (c.qop == "auth-int") a2 += ":" + Hash(c.algorithm, std::string());
    const std::string ha2 = Hash(c.algorithm, a2);
    const std::string response =
        c.qop.empty() ? Hash(c.algorithm, ha1 + ":" + c.nonce + ":" + ha2)
                      : Hash(c.algorithm, ha1 + ":" + c.nonce + ":" + count + ":" + cnonce + ":" + c.qop + ":" + ha2);

    std::string v = "Digest username=" + Quote(user) + ", realm=" + Quote(c.realm) + ", nonce=" + Quote(c.nonce) +
                    ", uri=" + Quote(uri) + ", algorithm=" + c.algorithmName + ", response=" + Quote(response);
    if (c.hasOpaque) v += ", opaque=" + Quote(c.opaque);
    if (!c.qop.empty()) v += ", qop=" + c.qop + ", nc=" + count + ", cnonce=" + Quote(cnonce);
    return v;
}

std::string NewDigestCnonce() {
    static const char kDigits[] = "0123456789abcdef";
    std::random_device random;
    std::string out;
    for (int i = 0; i < kCnonceBytes; ++i) {
        const unsigned byte = random() & 0xff;
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 15]);
    }
    return out;
}

}  // namespace VemNetwork
