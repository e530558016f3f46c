// WinInet gives the system's list as tokens separated by spaces, each
// "key=host:port" or "host:port": only the "socks" key means something (a
// SOCKS4 proxy); every other token is taken as an HTTP proxy. A proxy
// auto-configuration answers in a PAC script's words.
#include "conn/route/proxy_list_text.h"

#include <cstdint>
#include <cwctype>

#include "conn/route/proxy_record.h"
#include "conn/wide_text.h"

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

namespace {

const int kDefaultHttpPort = 80;
const int kDefaultSocksPort = 1080;
const int kLargestPort = 65535;

std::wstring Upper(std::wstring s) {
    for (wchar_t& c : s) c = wchar_t(std::towupper(c));
    return s;
}

}  // namespace

std::list<ProxyInfo> ParseProxyAnswer(const std::wstring& answer) {
    std::list<ProxyInfo> candidates;
    size_t pos = 0;
    while (pos <= answer.size()) {
        size_t end = answer.find(L';', pos);
        if (end == std::wstring::npos) end = answer.size();
        const std::wstring entry = TrimBlanks(answer.substr(pos, end - pos));
        pos = end + 1;
        if (entry.empty()) continue;
        const size_t blank = entry.find_first_of(L" \t");
        const std::wstring keyword = Upper(entry.substr(0, blank));
        if (keyword == L"DIRECT") {
            candidates.push_back(DirectCandidate());
            continue;
        }
        ProxyInfo p;
        if (keyword == L"PROXY" || keyword == L"HTTP") p.type = PROXY_HTTP;
        else if (keyword == L"SOCKS" || keyword == L"SOCKS4") p.type = PROXY_SOCKS4;
        else if (keyword == L"SOCKS5") p.type = PROXY_SOCKS5;
        else continue;
        if (blank == std::wstring::npos) continue;
        const std::wstring where = TrimBlanks(entry.substr(blank));
        const size_t colon = where.find(L':');
        const std::wstring host = TrimBlanks(where.substr(0, colon));
        p.port = p.type == PROXY_HTTP ? kDefaultHttpPort : kDefaultSocksPort;
        if (colon != std::wstring::npos) {
            const std::wstring digits = TrimBlanks(where.substr(colon + 1));
            if (digits.empty() || digits.size() > 5 || digits.find_first_not_of(L"0123456789") != std::wstring::npos)
                continue;
            const int64_t port = LeadingDecimal(digits);
            if (port < 1 || port > kLargestPort) continue;
            p.port = int(port);
        }
        if (host.empty() || host.find_first_of(L" \t[") != std::wstring::npos) continue;
        p.host = host;
        candidates.push_back(p);
    }
    return candidates;
}

std::wstring DescribeCandidate(const ProxyInfo& candidate) {
    if (IsDirectCandidate(candidate)) return L"DIRECT";
    const wchar_t* kind = L"PROXY";
    if (candidate.type == PROXY_SOCKS4 || candidate.type == PROXY_SOCKS4_ALT) kind = L"SOCKS";
    else if (candidate.type == PROXY_SOCKS5) kind = L"SOCKS5";
    else if (candidate.type != PROXY_HTTP) kind = L"UNKNOWN";
    return std::wstring(kind) + L" " + ToWString(candidate.host) + L":" + std::to_wstring(candidate.port);
}

std::wstring DescribeCandidates(const std::list<ProxyInfo>& candidates) {
    std::wstring text;
    for (const ProxyInfo& c : candidates) text += (text.empty() ? L"" : L"; ") + DescribeCandidate(c);
    return text;
}

}  // namespace VemNetwork
