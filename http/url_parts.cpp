#include "http/url_parts.h"

#include "conn/wide_text.h"

namespace VemNetwork {
namespace {

struct SchemeRow {
    const wchar_t* name;
    int port;
};

const SchemeRow kSchemes[] = {
    {L"ftp", 21}, {L"gopher", 70}, {L"http", 80},   {L"https", 443},
    {L"file", 0}, {L"news", 0},    {L"mailto", 0}, {L"socks", 1080},
};
const int kSchemeCount = sizeof(kSchemes) / sizeof(kSchemes[0]);

// A part longer than its limit makes the URL unusable rather than cut.
bool Store(std::wstring& field, const std::wstring& text, size_t begin, size_t end, size_t limit) {
    if (end - begin > limit) return false;
    field.assign(text, begin, end - begin);
    return true;
}

// Decimal port digits; false for none, other characters or a value that a
// TCP port cannot have.
bool ParsePort(const std::wstring& text, size_t begin, size_t end, int* port) {
    if (begin >= end) return false;
    long value = 0;
    for (size_t i = begin; i < end; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        value = value * 10 + (text[i] - L'0');
        if (value > 65535) return false;
    }
    *port = int(value);
    return true;
}

// user[:password]@host[:port], or a bracketed IPv6 host.
bool SplitAuthority(const std::wstring& text, size_t begin, size_t end, UrlParts& parts) {
    size_t at = text.rfind(L'@', end == 0 ? 0 : end - 1);
    if (at != std::wstring::npos && at >= begin && at < end) {
        size_t colon = text.find(L':', begin);
        if (colon != std::wstring::npos && colon < at) {
            if (!Store(parts.user, text, begin, colon, UrlParts::kMaxUser)) return false;
            if (!Store(parts.password, text, colon + 1, at, UrlParts::kMaxPassword)) return false;
        } else {
            if (!Store(parts.user, text, begin, at, UrlParts::kMaxUser)) return false;
        }
        begin = at + 1;
    }
    size_t hostEnd = end;
    size_t portColon = std::wstring::npos;
    if (begin < end && text[begin] == L'[') {
        size_t close = text.find(L']', begin);
        if (close == std::wstring::npos || close >= end) return false;
        hostEnd = close + 1;
        if (hostEnd < end) {
            if (text[hostEnd] != L':') return false;
            portColon = hostEnd;
        }
    } else {
        size_t colon = text.find(L':', begin);
        if (colon != std::wstring::npos && colon < end) {
            hostEnd = colon;
            portColon = colon;
        }
    }
    if (!Store(parts.host, text, begin, hostEnd, UrlParts::kMaxHost)) return false;
    if (portColon != std::wstring::npos) {
        if (!ParsePort(text, portColon + 1, end, &parts.port)) return false;
    } else {
        parts.port = DefaultPort(parts.schemeIndex);
    }
    return true;
}

}  // namespace

void UrlParts::Clear() {
    scheme.clear();
    host.clear();
    user.clear();
    password.clear();
    path.clear();
    extra.clear();
    port = 0;
    schemeIndex = -1;
}

int SchemeIndex(const std::wstring& name) {
    for (int i = 0; i < kSchemeCount; ++i) {
        if (EqualsNoCase(name, kSchemes[i].name)) return i;
    }
    return -1;
}

int DefaultPort(int schemeIndex) {
    if (schemeIndex < 0 || schemeIndex >= kSchemeCount) return 0;
    return kSchemes[schemeIndex].port;
}

// Layout of a URL as split here:
//
//   scheme ":" [ "//" ] [ user [ ":" password ] "@" ] host [ ":" port ] path extra
//                                                                 |      |
//                                          from the first "/" ----+      +---- from "?" or "#"
//
// A single "/" after the scheme starts the path at once (no authority);
// "file" has no authority: everything after "//" is its path.
bool SplitUrl(const std::wstring& text, UrlParts& parts) {
    parts.Clear();

    size_t colon = std::wstring::npos;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L':') {
            colon = i;
            break;
        }
        if (text[i] == L'/' || text[i] == L'?') break;
    }
    if (colon == std::wstring::npos || colon == 0) return false;
    if (colon > UrlParts::kMaxScheme) return false;
    parts.scheme.assign(text, 0, colon);
    parts.schemeIndex = SchemeIndex(parts.scheme);

    size_t pos = colon + 1;
    const size_t n = text.size();
    bool hasAuthority = true;
    if (text.compare(pos, 2, L"//") == 0) {
        pos += 2;
    } else if (pos < n && text[pos] == L'/') {
        hasAuthority = false;
    }

    if (parts.schemeIndex == kSchemeFile) {
        parts.port = DefaultPort(kSchemeFile);
        return Store(parts.path, text, pos, n, UrlParts::kMaxPath);
    }

    if (hasAuthority) {
        size_t end = pos;
        while (end < n && text[end] != L'/' && text[end] != L'?' && text[end] != L'#') ++end;
        if (!SplitAuthority(text, pos, end, parts)) return false;
        pos = end;
    } else {
        parts.port = DefaultPort(parts.schemeIndex);
    }

    size_t pathEnd = pos;
    while (pathEnd < n && text[pathEnd] != L'?' && text[pathEnd] != L'#') ++pathEnd;
    if (!Store(parts.path, text, pos, pathEnd, UrlParts::kMaxPath)) return false;
    return Store(parts.extra, text, pathEnd, n, UrlParts::kMaxExtra);
}

}  // namespace VemNetwork
