// Wide text and the ANSI code page.
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace plat {

std::string ToAnsi(const std::wstring& text) {
    if (text.empty()) return std::string();
    int len = static_cast<int>(text.size());
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), len, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), len, &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring FromAnsi(const char* text, size_t len) {
    if (text == nullptr || len == 0) return std::wstring();
    int in = static_cast<int>(len);
    int n = MultiByteToWideChar(CP_ACP, 0, text, in, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, in, &out[0], n);
    return out;
}

std::wstring FromAnsi(const std::string& text) { return FromAnsi(text.data(), text.size()); }

}  // namespace plat
