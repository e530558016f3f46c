// The system's proxy setting, in the WinInet list form: tokens separated by
// spaces, each "key=host:port" or "host:port". Only the "socks" key means
// something (a SOCKS4 proxy); every other token is taken as an HTTP proxy.
#include "conn/system_proxy.h"

#include <climits>
#include <cwctype>

#include "platform/platform.h"

namespace VemNetwork {

namespace {

bool IsSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

std::wstring Trim(const std::wstring& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsSpace(s[b])) ++b;
    while (e > b && IsSpace(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// The leading decimal number of s, 0 when there is none; saturates.
int DecimalValue(const std::wstring& s) {
    size_t i = 0;
    while (i < s.size() && IsSpace(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == L'+' || s[i] == L'-')) negative = (s[i++] == L'-');
    long long v = 0;
    for (; i < s.size() && s[i] >= L'0' && s[i] <= L'9'; ++i) {
        v = v * 10 + (s[i] - L'0');
        if (v > INT_MAX) v = INT_MAX;
    }
    return int(negative ? -v : v);
}

}  // namespace

std::list<ProxyInfo> ParseProxyList(const std::wstring& list) {
    std::list<ProxyInfo> candidates;
    // A token without a port takes the one of the token before it.
    int port = 0;
    size_t pos = 0;
    while (pos < list.size()) {
        if (list[pos] == L' ') {
            ++pos;
            continue;
        }
        size_t end = list.find(L' ', pos);
        if (end == std::wstring::npos) end = list.size();
        std::wstring token = list.substr(pos, end - pos);
        pos = end;

        ProxyInfo entry;
        entry.type = 4;
        const size_t eq = token.find(L'=');
        if (eq != std::wstring::npos && eq > 0) {
            std::wstring key = token.substr(0, eq);
            for (wchar_t& c : key) c = wchar_t(std::towupper(c));
            if (key == L"SOCKS") entry.type = 1;
            token.erase(0, eq + 1);
        }
        // A key with nothing after it names no proxy.
        if (token.empty()) continue;

        const size_t colon = token.find(L':');
        if (colon != std::wstring::npos) {
            entry.host = Trim(token.substr(0, colon));
            if (colon + 1 < token.size()) port = DecimalValue(token.substr(colon + 1));
        } else {
            port = DecimalValue(token);
        }
        entry.port = port;
        candidates.push_back(entry);
    }
    return candidates;
}

std::list<ProxyInfo> SystemProxyCandidates() {
    std::wstring list;
    if (!plat::SystemProxyList(&list) || list.empty()) return std::list<ProxyInfo>();
    return ParseProxyList(list);
}

}  // namespace VemNetwork
