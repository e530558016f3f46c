// Reading an HTTP proxy's reply to CONNECT. The reply is parsed again from
// its first byte on every read until its end has arrived; the caller then
// drops the bytes it belongs to and leaves the rest (tunnel data, or the next
// reply on the same connection) in the socket's input.
#include "conn/proxy/proxy_reply.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "conn/wide_text.h"
#include "platform/platform.h"

namespace VemNetwork {

namespace {

const char kHtmlBodyStart[] = "<Html><Body>";
const char kHtmlBodyEnd[] = "</Body></Html>";

// The first value of a header, found whatever its letter case; null when
// absent or empty.
const std::wstring* FirstValue(const ProxyReply& reply, const wchar_t* name) {
    auto exact = reply.headers.find(name);
    if (exact != reply.headers.end() && !exact->second.empty() && !exact->second.front().empty())
        return &exact->second.front();
    for (const auto& h : reply.headers) {
        if (EqualsNoCase(h.first, name) && !h.second.empty() && !h.second.front().empty())
            return &h.second.front();
    }
    return nullptr;
}

// The transfer codings end with "chunked" (RFC 9112, 6.3): the body's end is
// its last, empty chunk.
bool IsChunked(const ProxyReply& reply) {
    const std::wstring* coding = FirstValue(reply, L"Transfer-Encoding");
    if (!coding) return false;
    const std::wstring value = TrimBlanks(*coding);
    const size_t comma = value.rfind(L',');
    return EqualsNoCase(TrimBlanks(comma == std::wstring::npos ? value : value.substr(comma + 1)),
                        L"chunked");
}

// The offset just past a line's CRLF, searching from `from`; -1 when the
// line has not ended yet.
int64_t LineEnd(const char* data, int64_t len, int64_t from) {
    for (int64_t i = from; i + 1 < len; ++i) {
        if (data[i] == '\r' && data[i + 1] == '\n') return i + 2;
    }
    return -1;
}

// The end of a chunked body that starts at `body`: chunks of
// "<hex size>[;ext]\r\n<data>\r\n", the last of size 0, then trailer lines
// up to an empty one. -1 while incomplete, -2 when the sizes make no sense.
int64_t ChunkedBodyEnd(const char* data, int64_t len, int64_t body) {
    int64_t pos = body;
    for (;;) {
        const int64_t next = LineEnd(data, len, pos);
        if (next < 0) return -1;
        int64_t size = 0;
        int64_t i = pos;
        for (; i < next - 2; ++i) {
            const char c = data[i];
            int digit = c >= '0' && c <= '9' ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit < 0) break;
            size = size * 16 + digit;
            if (size > INT_MAX) return -2;
        }
        if (i == pos) return -2;   // no size at all
        pos = next;
        if (size == 0) break;
        pos += size + 2;   // data and its CRLF
        if (pos > len) return -1;
    }
    // Trailer lines, then the empty line.
    for (;;) {
        const int64_t next = LineEnd(data, len, pos);
        if (next < 0) return -1;
        if (next == pos + 2) return next;
        pos = next;
    }
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

    if (IsChunked(*reply)) {
        const int64_t end = ChunkedBodyEnd(data, len, headerEnd);
        if (end == -1) return false;
        // Sizes we cannot read: the reply ends at its headers, and the
        // handshake's own limits deal with whatever follows.
        *consumed = int(end < 0 ? headerEnd : end);
        return true;
    }

    if (const std::wstring* value = FirstValue(*reply, L"Content-Length")) {
        int64_t body = LeadingDecimal(*value);
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

    reply->statusLine = t.substr(0, eol);
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
    status = TrimBlanks(status.substr(3));

    const size_t space = status.find(L' ');
    if (space == std::wstring::npos) {
        t.erase(0, pos);
        return false;
    }
    reply->code = int(LeadingDecimal(status.substr(0, space)));
    reply->reason = TrimBlanks(status.substr(space));

    for (;;) {
        const size_t e = t.find(L"\r\n", pos);
        if (e == std::wstring::npos || e == pos) break;
        const std::wstring line = TrimBlanks(t.substr(pos, e - pos));
        pos = e + 2;
        const size_t colon = line.find(L':');
        if (colon == std::wstring::npos) continue;
        reply->headers[TrimBlanks(line.substr(0, colon))].push_back(TrimBlanks(line.substr(colon + 1)));
    }
    t.erase(0, pos);
    return t.compare(0, 2, L"\r\n") == 0;
}

}  // namespace VemNetwork
