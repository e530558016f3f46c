#include "conn/wide_text.h"

#include <climits>
#include <cwchar>
#include <cwctype>

namespace VemNetwork {

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\v' || c == L'\f';
}

std::wstring TrimBlanks(const std::wstring& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool EqualsNoCase(const std::wstring& a, const wchar_t* b) {
    return a.size() == std::wcslen(b) && BeginsWithNoCase(a, b);
}

bool BeginsWithNoCase(const std::wstring& value, const wchar_t* prefix) {
    for (size_t i = 0; prefix[i]; ++i) {
        if (i >= value.size() || std::towlower(value[i]) != std::towlower(prefix[i])) return false;
    }
    return true;
}

int64_t LeadingDecimal(const std::wstring& s) {
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == L'+' || s[i] == L'-')) negative = (s[i++] == L'-');
    int64_t v = 0;
    for (; i < s.size() && s[i] >= L'0' && s[i] <= L'9'; ++i) {
        v = v * 10 + (s[i] - L'0');
        if (v > INT_MAX) v = INT_MAX;
    }
    return negative ? -v : v;
}

}  // namespace VemNetwork
