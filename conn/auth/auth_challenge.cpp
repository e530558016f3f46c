#include "conn/auth/auth_challenge.h"

#include <cwctype>

#include "conn/wide_text.h"

namespace VemNetwork {

namespace {

// A scheme is recognised by how its word begins, as proxies have always been
// read here: "NTLMSSP" counts as NTLM, "basic" as Basic.
const wchar_t* const kSchemeNames[kAuthSchemeCount] = {L"Negotiate", L"NTLM", L"Digest", L"Basic"};

AuthScheme Classify(const std::wstring& word) {
    for (int i = 0; i < kAuthSchemeCount; ++i) {
        if (BeginsWithNoCase(word, kSchemeNames[i])) return AuthScheme(i);
    }
    return AuthScheme::Other;
}

// Reads one value of a header. pos walks through it.
class ChallengeReader {
public:
    explicit ChallengeReader(const std::wstring& text) : t_(text), pos_(0) {}

    void ReadAll(std::vector<AuthChallenge>* out) {
        for (;;) {
            SkipSeparators();
            if (AtEnd()) return;
            AuthChallenge c;
            c.name = Word();
            if (c.name.empty()) return;   // a stray "=" or quote: unreadable
            c.scheme = Classify(c.name);
            const bool more = ReadRest(&c);
            out->push_back(c);
            if (!more) return;
        }
    }

private:
    bool AtEnd() const { return pos_ >= t_.size(); }
    wchar_t Peek() const { return AtEnd() ? 0 : t_[pos_]; }
    void SkipBlanks() {
        while (!AtEnd() && IsBlank(t_[pos_])) ++pos_;
    }
    void SkipSeparators() {
        while (!AtEnd() && (IsBlank(t_[pos_]) || t_[pos_] == L',')) ++pos_;
    }
    static bool WordChar(wchar_t c) { return !IsBlank(c) && c != L',' && c != L'=' && c != L'"'; }
    std::wstring Word() {
        const size_t from = pos_;
        while (!AtEnd() && WordChar(t_[pos_])) ++pos_;
        return t_.substr(from, pos_ - from);
    }
    // After a word and its "="s: only blanks up to a comma or the end, which
    // makes the word a token68 ("abc==") rather than a parameter's name.
    bool EndsHere(size_t at) const {
        while (at < t_.size() && IsBlank(t_[at])) ++at;
        return at >= t_.size() || t_[at] == L',';
    }
    size_t EqualsRunEnd(size_t at) const {
        while (at < t_.size() && t_[at] == L'=') ++at;
        return at;
    }
    // A quoted string with backslash escapes; false when it never ends.
    bool Quoted(std::wstring* value) {
        ++pos_;   // the opening quote
        while (!AtEnd()) {
            const wchar_t c = t_[pos_++];
            if (c == L'"') return true;
            if (c == L'\\' && !AtEnd()) {
                value->push_back(t_[pos_++]);
                continue;
            }
            value->push_back(c);
        }
        return false;
    }

    // The token or the parameters after the scheme word, up to the next
    // challenge. False when the text cannot be read further.
    bool ReadRest(AuthChallenge* c) {
        bool first = true;
        for (;;) {
            const size_t mark = pos_;
            if (first) {
                SkipBlanks();
            } else {
                SkipSeparators();
            }
            if (AtEnd()) return true;
            // Without blank after the scheme word there is nothing of its own.
            if (first && pos_ == mark) return Peek() == L',' || AtEnd();
            const size_t wordAt = pos_;
            const std::wstring word = Word();
            if (word.empty()) return false;
            size_t after = wordAt + word.size();
            size_t at = after;
            while (at < t_.size() && IsBlank(t_[at])) ++at;
            if (at >= t_.size() || t_[at] != L'=') {
                if (first && EndsHere(after)) {   // a bare token: "NTLM abc"
                    c->token = word;
                    return true;
                }
                // The next challenge's scheme word.
                pos_ = wordAt;
                return true;
            }
            const size_t equalsEnd = EqualsRunEnd(at);
            if (first && EndsHere(equalsEnd) && equalsEnd > at) {
                // "Negotiate YII=": a token with its padding.
                c->token = t_.substr(wordAt, equalsEnd - wordAt);
                pos_ = equalsEnd;
                return true;
            }
            pos_ = at + 1;
            SkipBlanks();
            std::wstring value;
            if (Peek() == L'"') {
                if (!Quoted(&value)) return false;
            } else {
                const size_t from = pos_;
                while (!AtEnd() && t_[pos_] != L',' && !IsBlank(t_[pos_])) ++pos_;
                value = t_.substr(from, pos_ - from);
            }
            std::wstring name = word;
            for (wchar_t& ch : name) ch = wchar_t(std::towlower(ch));
            c->params.emplace_back(name, value);
            first = false;
        }
    }

    const std::wstring& t_;
    size_t pos_;
};

}  // namespace

const wchar_t* AuthSchemeName(AuthScheme scheme) {
    const int i = int(scheme);
    return i >= 0 && i < kAuthSchemeCount ? kSchemeNames[i] : L"other";
}

const std::wstring* AuthChallenge::Param(const wchar_t* name) const {
    for (const auto& p : params) {
        if (p.first == name) return &p.second;
    }
    return nullptr;
}

std::vector<AuthChallenge> ParseChallenges(const std::vector<std::wstring>& values) {
    std::vector<AuthChallenge> all;
    for (const std::wstring& v : values) ChallengeReader(v).ReadAll(&all);
    return all;
}

const AuthChallenge* FindChallenge(const std::vector<AuthChallenge>& all, AuthScheme scheme) {
    for (const AuthChallenge& c : all) {
        if (c.scheme == scheme) return &c;
    }
    return nullptr;
}

}  // namespace VemNetwork
