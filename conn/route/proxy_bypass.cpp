#include "conn/route/proxy_bypass.h"

#include <cstdint>
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

// A decimal number of at most `digits` digits, the whole of text.
bool Decimal(const std::wstring& text, size_t digits, unsigned* value) {
    if (text.empty() || text.size() > digits) return false;
    unsigned v = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        v = v * 10 + unsigned(c - L'0');
    }
    *value = v;
    return true;
}

// "a.b.c.d", each part 0 to 255, as a 32-bit number (a first).
bool Dotted(const std::wstring& text, uint32_t* address) {
    uint32_t a = 0;
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t end = part < 3 ? text.find(L'.', pos) : text.size();
        unsigned v = 0;
        if (end == std::wstring::npos || !Decimal(text.substr(pos, end - pos), 3, &v) || v > 255) return false;
        a = (a << 8) | v;
        pos = end + 1;
    }
    *address = a;
    return true;
}

// "a.b.c.d/bits" holding host, an IPv4 literal.
bool InBlock(const std::wstring& host, const std::wstring& entry, size_t slash) {
    uint32_t base = 0, address = 0;
    unsigned bits = 0;
    if (!Dotted(entry.substr(0, slash), &base) || !Decimal(entry.substr(slash + 1), 2, &bits) || bits > 32)
        return false;
    if (!Dotted(host, &address)) return false;
    const uint32_t mask = bits == 0 ? 0 : ~uint32_t(0) << (32 - bits);
    return (address & mask) == (base & mask);
}

bool EntryNames(const std::wstring& host, int port, std::wstring entry) {
    if (entry == L"<local>") return host.find(L'.') == std::wstring::npos;
    // "host:port" names that port only (a second colon would make it an
    // IPv6 address, which is not ours).
    const size_t colon = entry.rfind(L':');
    if (colon != std::wstring::npos && entry.find(L':') == colon) {
        unsigned entryPort = 0;
        if (!Decimal(entry.substr(colon + 1), 5, &entryPort)) return false;
        if (port != 0 && int(entryPort) != port) return false;
        entry.erase(colon);
    }
    if (entry.empty()) return false;
    const size_t slash = entry.find(L'/');
    if (slash != std::wstring::npos) return InBlock(host, entry, slash);
    if (entry.find(L'*') != std::wstring::npos) return Matches(host.c_str(), entry.c_str());
    if (entry[0] == L'.') entry.erase(0, 1);
    return host == entry || EndsWith(host, L"." + entry);
}

}  // namespace

bool BypassesProxy(const std::wstring& host, const std::wstring& bypass, int port) {
    const std::wstring target = Lower(host);
    if (target.empty()) return false;
    const std::wstring list = Lower(bypass);
    size_t pos = 0;
    while (pos < list.size()) {
        const size_t end = list.find_first_of(L";, \t\r\n", pos);
        const std::wstring entry = list.substr(pos, end == std::wstring::npos ? std::wstring::npos : end - pos);
        if (EntryNames(target, port, entry)) return true;
        if (end == std::wstring::npos) break;
        pos = end + 1;
    }
    return false;
}

}  // namespace VemNetwork
