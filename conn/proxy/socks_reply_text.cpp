#include "conn/proxy/socks_reply_text.h"

namespace VemNetwork {

namespace {

std::wstring ReplyText(const wchar_t* protocol, unsigned char code, const wchar_t* meaning) {
    return std::wstring(protocol) + L" reply " + std::to_wstring(unsigned(code)) + L" (" + meaning +
           L")";
}

}  // namespace

std::wstring Socks4ReplyText(unsigned char code) {
    const wchar_t* meaning = L"unknown code";
    switch (code) {
    case 90: meaning = L"request granted"; break;
    case 91: meaning = L"request rejected or failed"; break;
    case 92: meaning = L"no identd on the client"; break;
    case 93: meaning = L"identd could not confirm the user"; break;
    }
    return ReplyText(L"SOCKS4", code, meaning);
}

// RFC 1928, section 6.
std::wstring Socks5ReplyText(unsigned char code) {
    static const wchar_t* const kMeanings[] = {
        L"succeeded",
        L"general SOCKS server failure",
        L"connection not allowed by ruleset",
        L"network unreachable",
        L"host unreachable",
        L"connection refused",
        L"TTL expired",
        L"command not supported",
        L"address type not supported",
    };
    const size_t known = sizeof kMeanings / sizeof kMeanings[0];
    return ReplyText(L"SOCKS5", code, code < known ? kMeanings[code] : L"unknown code");
}

}  // namespace VemNetwork
