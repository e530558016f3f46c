#include "tools/gateway/form_body.h"

#include <cctype>
#include <string_view>

#include "conn/auth/base64.h"

namespace gateway {
namespace {

constexpr std::string_view kSessionField = "session=";
constexpr std::string_view kDataField = "data=";

bool IsBase64Char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
}

// Base64 as the client's encoder writes it: groups of four characters of
// the alphabet, the last one padded with at most two '=', line breaks
// anywhere between characters. The library's decoder skips what it does not
// know, so the strictness is here.
bool IsStrictBase64(std::string_view text) {
    size_t count = 0;
    size_t padding = 0;
    for (char c : text) {
        if (c == '\r' || c == '\n') continue;
        if (c == '=') {
            ++padding;
        } else if (!IsBase64Char(c) || padding > 0) {
            return false;
        }
        ++count;
    }
    return count % 4 == 0 && padding <= 2;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

bool ParseSessionRequest(const std::string& body, SessionRequest* out, std::string* error) {
    std::string_view all(body);
    size_t amp = all.find('&');
    if (amp == std::string_view::npos || !StartsWith(all.substr(0, amp), kSessionField) ||
        !StartsWith(all.substr(amp + 1), kDataField)) {
        *error = "the body is not session=ID&data=BASE64";
        return false;
    }
    std::string_view text = all.substr(amp + 1 + kDataField.size());
    if (!IsStrictBase64(text)) {
        *error = "the data field is not Base64";
        return false;
    }
    out->session.assign(all.substr(kSessionField.size(), amp - kSessionField.size()));
    out->data = Base64DecodeString(std::string(text));
    return true;
}

std::string SessionNamedIn(const std::string& body) {
    std::string_view all(body);
    if (!StartsWith(all, kSessionField)) return std::string();
    all.remove_prefix(kSessionField.size());
    return std::string(all.substr(0, all.find('&')));
}

}  // namespace gateway
