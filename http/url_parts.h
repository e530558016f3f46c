// The parts of a URL as the HTTP session keeps them, and the splitter that
// fills them. Only the path ever reaches a request; the other parts are kept
// so that a URL can be checked and shown as the host wrote it.
#ifndef VEMNET_URL_PARTS_H
#define VEMNET_URL_PARTS_H

#include <string>

namespace VemNetwork {

struct UrlParts {
    // Longest text each part may have; a longer one fails the split.
    static const size_t kMaxScheme = 32;
    static const size_t kMaxHost = 256;
    static const size_t kMaxUser = 128;
    static const size_t kMaxPassword = 128;
    static const size_t kMaxPath = 2048;
    static const size_t kMaxExtra = 2048;

    std::wstring scheme;     // as written, e.g. L"HTTP" or an unknown name
    std::wstring host;
    std::wstring user;
    std::wstring password;
    std::wstring path;       // keeps its leading '/'
    std::wstring extra;      // "?query" and/or "#fragment"
    int port = 0;
    int schemeIndex = -1;    // row of the known scheme table, -1 when unknown

    // Every split starts from this state.
    void Clear();
};

// Index of the known schemes.
enum : int {
    kSchemeFtp = 0,
    kSchemeGopher,
    kSchemeHttp,
    kSchemeHttps,
    kSchemeFile,
    kSchemeNews,
    kSchemeMailto,
    kSchemeSocks,
};

// The scheme's row, matched without regard to case; -1 when it has none.
int SchemeIndex(const std::wstring& name);
// The port a URL of that scheme uses when it names none (0 for unknown).
int DefaultPort(int schemeIndex);

// Splits text into parts. False when the text is not a URL; parts then
// holds what was found before the failure, and schemeIndex tells whether a
// known scheme was recognised.
bool SplitUrl(const std::wstring& text, UrlParts& parts);

}  // namespace VemNetwork

#endif
