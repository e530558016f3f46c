// The proxy setting of the process, as WinInet keeps it (the Internet Options
// of the user): the list text of INTERNET_OPTION_PROXY, e.g.
// "http=host:port socks=host:port" or "host:port".
#include <windows.h>
#include <wininet.h>

#include <string>

#include "platform/platform.h"

namespace plat {

namespace {

// Longest run of units from p that stays inside [p, end), up to its NUL.
template <typename Unit>
size_t BoundedLength(const Unit* p, const unsigned char* end) {
    size_t n = 0;
    while (reinterpret_cast<const unsigned char*>(p + n + 1) <= end && p[n]) ++n;
    return n;
}

// A string packed behind the record in buffer; empty when the pointer is
// null or points elsewhere. The record is declared with ANSI strings, and
// which form the wide query fills in has not been the same everywhere (Wine:
// UTF-16). A list is host names and digits, so its second byte tells the
// two apart.
std::wstring PackedText(const void* pointer, const unsigned char* begin, const unsigned char* end) {
    const unsigned char* text = static_cast<const unsigned char*>(pointer);
    if (!text || text < begin || text >= end) return std::wstring();
    if (text[0] != 0 && text + 1 < end && text[1] == 0) {
        const wchar_t* wide = reinterpret_cast<const wchar_t*>(text);
        return std::wstring(wide, BoundedLength(wide, end));
    }
    const char* ansi = reinterpret_cast<const char*>(text);
    return FromAnsi(ansi, BoundedLength(ansi, end));
}

}  // namespace

bool SystemProxySetting(ProxySetting* setting) {
    if (!setting) return false;
    *setting = ProxySetting();
    // The record comes back with its strings packed behind it in the same
    // buffer; 4096 bytes hold any list a user types in.
    union {
        INTERNET_PROXY_INFO info;
        unsigned char bytes[4096];
    } buffer;
    DWORD size = sizeof buffer;
    if (!InternetQueryOptionW(nullptr, INTERNET_OPTION_PROXY, &buffer, &size)) return false;
    // A direct setting may still carry a stale list: it is not in use.
    if (buffer.info.dwAccessType != INTERNET_OPEN_TYPE_PROXY) return false;
    const unsigned char* end = buffer.bytes + sizeof buffer.bytes;
    setting->list = PackedText(buffer.info.lpszProxy, buffer.bytes, end);
    // The exceptions of the Internet Options dialog ("ProxyOverride").
    setting->bypass = PackedText(buffer.info.lpszProxyBypass, buffer.bytes, end);
    return !setting->list.empty();
}

}  // namespace plat
