// The system proxy list parser and the auto-config answer parser on any
// text: as UTF-8 from bytes, and as raw wide characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "conn/route/proxy_list_text.h"
#include "conn/route/proxy_record.h"
#include "platform/platform.h"

using namespace VemNetwork;

namespace {

void Check(const std::wstring& list) {
    size_t tokens = 0;
    bool inToken = false;
    for (wchar_t c : list) {
        if (c == L' ') inToken = false;
        else if (!inToken) inToken = true, ++tokens;
    }
    const std::list<ProxyInfo> entries = ParseProxyList(list);
    if (entries.size() > tokens) std::abort();
    for (const ProxyInfo& p : entries) {
        if (p.type != PROXY_SOCKS4 && p.type != PROXY_HTTP) std::abort();
        const std::wstring host = p.host;
        if (host.find(L' ') != std::wstring::npos) std::abort();
    }
    for (const ProxyInfo& p : ParseProxyAnswer(list)) {
        if (IsDirectCandidate(p)) continue;
        if (p.type != PROXY_HTTP && p.type != PROXY_SOCKS4 && p.type != PROXY_SOCKS5) std::abort();
        if (p.port < 1 || p.port > 65535 || !IsUsableProxy(p)) std::abort();
        const std::wstring host = p.host;
        if (host.empty() || host.find_first_of(L" \t;") != std::wstring::npos) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Check(plat::FromAnsi(reinterpret_cast<const char*>(data), size));
    std::wstring wide(size / sizeof(wchar_t), L'\0');
    if (!wide.empty()) std::memcpy(&wide[0], data, wide.size() * sizeof(wchar_t));
    Check(wide);
    return 0;
}
