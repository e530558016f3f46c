// Small text helpers for header values, proxy lists and URL parts, shared by
// the TCP and HTTP connections.
#ifndef VEMNET_WIDE_TEXT_H
#define VEMNET_WIDE_TEXT_H

#include <cstdint>
#include <string>

#include "vemnet/netconn.h"

namespace VemNetwork {

// Between the interface's text types and the library's own strings.
inline std::wstring ToWString(const WideStringView& text) { return std::wstring(text.data(), text.size()); }

// A record with a field longer than its room cannot be used as it is: a cut
// host name or password would reach the wrong proxy or fail its login.
inline bool HasCutText(const ProxyInfo& proxy) {
    return proxy.host.cut() || proxy.user.cut() || proxy.password.cut() || proxy.domain.cut();
}

// Space, tab, CR, LF, vertical tab, form feed.
bool IsBlank(wchar_t c);
// s without blanks at either end.
std::wstring TrimBlanks(const std::wstring& s);
// a equals b, letter case aside.
bool EqualsNoCase(const std::wstring& a, const wchar_t* b);
// value begins with prefix, letter case aside; a shorter value never does.
bool BeginsWithNoCase(const std::wstring& value, const wchar_t* prefix);
// The leading decimal number of s (after blanks and an optional sign), 0 when
// there is none; saturates at INT_MAX instead of overflowing.
int64_t LeadingDecimal(const std::wstring& s);

}  // namespace VemNetwork

#endif
