#include "conn/proxy_bypass.h"

#include <cwctype>

namespace VemNetwork {

namespace {

std::wstring Lower(std::wstring s) {
    for (wchar_t& c : s) c = wchar_t(std::towlower(c));
    return s;
}

bool EndsWith(const std::wstring& s, const std::wstring& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Glob match with "*" only.
bool Matches(const wchar_t* text, const wchar_t* pattern) {
    if (!*pattern) return !*text;
    if (*pattern == L'*') {
        for (const wchar_t* t = text;; ++t) {
            if (Matches(t, pattern + 1)) return true;
            if (!*t) return false;
        }
    }
    return *text == *pattern && Matches(text + 1, pattern + 1);
}

bool EntryNames(const std::wstring& host, std::wstring entry) {
    if (entry == L"<local>") return host.find(L'.') == std::wstring::npos;
    // "host:port": the port is not looked at (an IPv6 address is not ours).
    const size_t colon = entry.rfind(L':');
    if (colon != std::wstring::npos && entry.find(L':') == colon) entry.erase(colon);
    if (entry.empty()) return false;
    if (entry.find(L'*') != std::wstring::npos) return Matches(host.c_str(), entry.c_str());
    if (entry[0] == L'.') entry.erase(0, 1);
    return host == entry || EndsWith(host, L"." + entry);
}

}  // namespace

bool BypassesProxy(const std::wstring& host, const std::wstring& bypass) {
    const std::wstring target = Lower(host);
    if (target.empty()) return false;
    const std::wstring list = Lower(bypass);
    size_t pos = 0;
    while (pos < list.size()) {
        const size_t end = list.find_first_of(L";, \t\r\n", pos);
        const std::wstring entry = list.substr(pos, end == std::wstring::npos ? std::wstring::npos : end - pos);
        if (EntryNames(target, entry)) return true;
        if (end == std::wstring::npos) break;
        pos = end + 1;
    }
    return false;
}

}  // namespace VemNetwork
