// The system's proxy setting as candidates. WinInet gives it in its list
// form: tokens separated by spaces, each "key=host:port" or "host:port".
// Only the "socks" key means something (a SOCKS4 proxy); every other token
// is taken as an HTTP proxy. The environment gives the entries themselves.
#include "conn/system_proxy.h"

#include <cwctype>

#include "conn/proxy_bypass.h"
#include "conn/wide_text.h"
#include "platform/platform.h"

namespace VemNetwork {

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
        entry.type = PROXY_HTTP;
        const size_t eq = token.find(L'=');
        if (eq != std::wstring::npos && eq > 0) {
            std::wstring key = token.substr(0, eq);
            for (wchar_t& c : key) c = wchar_t(std::towupper(c));
            if (key == L"SOCKS") entry.type = PROXY_SOCKS4;
            token.erase(0, eq + 1);
        }
        // A key with nothing after it names no proxy.
        if (token.empty()) continue;

        const size_t colon = token.find(L':');
        if (colon != std::wstring::npos) {
            entry.host = TrimBlanks(token.substr(0, colon));
            if (colon + 1 < token.size()) port = int(LeadingDecimal(token.substr(colon + 1)));
        } else {
            port = int(LeadingDecimal(token));
        }
        entry.port = port;
        candidates.push_back(entry);
    }
    return candidates;
}

std::list<ProxyInfo> SystemProxyCandidates(const std::wstring& target) {
    plat::ProxySetting setting;
    if (!plat::SystemProxySetting(&setting)) return std::list<ProxyInfo>();
    if (BypassesProxy(target, setting.bypass)) return std::list<ProxyInfo>();
    if (setting.entries.empty()) return ParseProxyList(setting.list);
    std::list<ProxyInfo> candidates;
    for (const plat::ProxyEntry& e : setting.entries) {
        ProxyInfo p;
        p.type = e.type;
        p.host = e.host;
        p.port = e.port;
        candidates.push_back(p);
    }
    return candidates;
}

}  // namespace VemNetwork
