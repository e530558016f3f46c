#include "tools/gateway/form_body.h"

#include <cctype>

#include "conn/auth/base64.h"

namespace gateway {
namespace {

bool IsBase64Char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
}

// Base64 as the client's encoder writes it: groups of four characters of
// the alphabet, the last one padded with at most two '=', line breaks
// anywhere between characters. The library's decoder skips what it does not
// know, so the strictness is here.
bool IsStrictBase64(const std::string& text) {
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

}  // namespace

bool ParseSessionRequest(const std::string& body, SessionRequest* out, std::string* error) {
    size_t amp = body.find('&');
    std::string first = body.substr(0, amp);
    std::string second = amp == std::string::npos ? std::string() : body.substr(amp + 1);
    const std::string sessionField = "session=";
    const std::string dataField = "data=";
    if (amp == std::string::npos || first.compare(0, sessionField.size(), sessionField) != 0 ||
        second.compare(0, dataField.size(), dataField) != 0) {
        *error = "the body is not session=ID&data=BASE64";
        return false;
    }
    std::string text = second.substr(dataField.size());
    if (!IsStrictBase64(text)) {
        *error = "the data field is not Base64";
        return false;
    }
    out->session = first.substr(sessionField.size());
    out->data = Base64DecodeString(text);
    return true;
}

}  // namespace gateway
