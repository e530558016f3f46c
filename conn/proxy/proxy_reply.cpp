// Reading an HTTP proxy's reply to CONNECT. The reply is parsed again from
// its first byte on every read until its end has arrived; the caller then
// drops the bytes it belongs to and leaves the rest (tunnel data, or the next
// reply on the same connection) in the socket's input.
#include "conn/proxy/proxy_reply.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <cwctype>

#include "platform/platform.h"

namespace VemNetwork {

namespace {

const char kHtmlBodyStart[] = "<Html><Body>";
const char kHtmlBodyEnd[] = "</Body></Html>";

bool IsSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

std::wstring Trim(const std::wstring& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsSpace(s[b])) ++b;
    while (e > b && IsSpace(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// The leading decimal number of s (after white space and an optional sign),
// 0 when there is none; saturates instead of overflowing.
int64_t DecimalValue(const std::wstring& s) {
    size_t i = 0;
    while (i < s.size() && IsSpace(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == L'+' || s[i] == L'-')) negative = (s[i++] == L'-');
    int64_t v = 0;
    for (; i < s.size() && s[i] >= L'0' && s[i] <= L'9'; ++i) {
        v = v * 10 + (s[i] - L'0');
        if (v > INT_MAX) v = INT_MAX;
    }
    return negative ? -v : v;
}

bool EqualsNoCase(const std::wstring& a, const wchar_t* b) {
    size_t n = std::wcslen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i])) return false;
    }
    return true;
}

// The first value of the body length header, found whatever its letter case;
// null when absent or empty.
const std::wstring* ContentLength(const ProxyReply& reply) {
    auto exact = reply.headers.find(L"Content-Length");
    if (exact != reply.headers.end() && !exact->second.empty() && !exact->second.front().empty())
        return &exact->second.front();
    for (const auto& h : reply.headers) {
        if (EqualsNoCase(h.first, L"Content-Length") && !h.second.empty() &&
            !h.second.front().empty())
            return &h.second.front();
    }
    return nullptr;
}

}  // namespace

bool ReadProxyReply(const char* data, int len, ProxyReply* reply, int* consumed) {
    if (consumed) *consumed = 0;
    if (!data || len <= 0 || !reply || !consumed) return false;

    // The end of the headers is looked for in the text up to its first NUL.
    const std::string copy(data, size_t(len));
    const char* text = copy.c_str();
    const char* blank = std::strstr(text, "\r\n\r\n");
    if (!blank) return false;
    const int64_t headerEnd = (blank - text) + 4;

    const size_t textLen = std::strlen(text);
    reply->text = plat::FromAnsi(text, textLen);
    reply->length = int(reply->text.size());
    ParseProxyReply(reply);

    // A tunnel starts right after a 2xx reply's headers, whatever they say.
    if (reply->code >= 200 && reply->code <= 299) {
        *consumed = int(headerEnd);
        return true;
    }

    if (const std::wstring* value = ContentLength(*reply)) {
        int64_t body = DecimalValue(*value);
        if (body < 0) body = 0;
        if (headerEnd + body > len) return false;
        *consumed = int(headerEnd + body);
        return true;
    }

    // Without a length, only a body of the form some proxies write is known
    // to end; any other stays in the input (such proxies close afterwards).
    *consumed = int(headerEnd);
    const size_t startLen = sizeof kHtmlBodyStart - 1;
    if (headerEnd < len && size_t(len - headerEnd) >= startLen &&
        std::memcmp(data + headerEnd, kHtmlBodyStart, startLen) == 0 &&
        size_t(headerEnd) <= textLen) {
        // Searched from the body on, so that the marker inside a header
        // cannot cut the reply short.
        const char* end = std::strstr(text + headerEnd, kHtmlBodyEnd);
        if (end) *consumed = int((end - text) + int64_t(sizeof kHtmlBodyEnd - 1));
    }
    return true;
}

bool ParseProxyReply(ProxyReply* reply) {
    std::wstring& t = reply->text;
    if (t.compare(0, 5, L"HTTP/") != 0) return false;
    const size_t eol = t.find(L"\r\n");
    if (eol == std::wstring::npos) return false;

    std::wstring status = t.substr(5, eol - 5);
    size_t pos = eol + 2;
    if (status.size() < 3) {
        reply->malformed = true;
        t.erase(0, pos);
        return false;
    }
    // "d.d": the separator between the digits is not looked at.
    reply->major = (unsigned short)(status[0] - L'0');
    reply->minor = (unsigned short)(status[2] - L'0');
    status = Trim(status.substr(3));

    const size_t space = status.find(L' ');
    if (space == std::wstring::npos) {
        t.erase(0, pos);
        return false;
    }
    reply->code = int(DecimalValue(status.substr(0, space)));
    reply->reason = Trim(status.substr(space));

    for (;;) {
        const size_t e = t.find(L"\r\n", pos);
        if (e == std::wstring::npos || e == pos) break;
        const std::wstring line = Trim(t.substr(pos, e - pos));
        pos = e + 2;
        const size_t colon = line.find(L':');
        if (colon == std::wstring::npos) continue;
        reply->headers[Trim(line.substr(0, colon))].push_back(Trim(line.substr(colon + 1)));
    }
    t.erase(0, pos);
    return t.compare(0, 2, L"\r\n") == 0;
}

}  // namespace VemNetwork
