// NTLM messages through libntlm. libntlm fills fixed records (a header and a
// 1024-byte data area); we send SmbLength bytes of them, in Base64 on one line.
#include "conn/auth/ntlm_messages.h"

#include <ntlm.h>

#include <cstring>

#include "conn/auth/base64.h"

namespace {

// Room for the Base64 text of a message, and for a decoded challenge.
const int kTextArea = 4096;

bool EncodeRecord(const void* record, size_t recordSize, size_t length, std::string* base64) {
    // A length beyond the record would read past it.
    if (length > recordSize) return false;
    char text[kTextArea];
    int room = kTextArea;
    if (!Base64Encode(static_cast<const unsigned char*>(record), int(length), text, &room,
                      BASE64_FLAG_NOCRLF)) {
        return false;
    }
    base64->assign(text, size_t(room));
    return true;
}

}  // namespace

bool BuildNtlmNegotiate(const std::string& user, const std::string& domain, std::string* base64) {
    if (!base64) return false;
    tSmbNtlmAuthRequest request;
    std::memset(&request, 0, sizeof request);
    buildSmbNtlmAuthRequest(&request, user.c_str(), domain.c_str());
    return EncodeRecord(&request, sizeof request, size_t(SmbLength(&request)), base64);
}

int NtlmNegotiateLength(const std::string& user, const std::string& domain) {
    tSmbNtlmAuthRequest request;
    std::memset(&request, 0, sizeof request);
    buildSmbNtlmAuthRequest(&request, user.c_str(), domain.c_str());
    return int(SmbLength(&request));
}

bool BuildNtlmAuthenticate(const std::string& challengeBase64, const std::string& user,
                           const std::string& password, std::string* base64) {
    if (!base64) return false;
    if (challengeBase64.size() > size_t(INT32_MAX)) return false;

    // The decoder stores only what fits the area; a proxy's undecodable
    // challenge still yields a (zero-padded) record and the proxy decides.
    unsigned char area[kTextArea];
    std::memset(area, 0, sizeof area);
    int decoded = kTextArea;
    Base64Decode(challengeBase64.data(), int(challengeBase64.size()), area, &decoded);

    // The challenge record is the message as received. A message longer than
    // the record is cut to it rather than copied over what follows it.
    tSmbNtlmAuthChallenge challenge;
    std::memset(&challenge, 0, sizeof challenge);
    static_assert(sizeof challenge <= sizeof area, "challenge record larger than its area");
    std::memcpy(&challenge, area, sizeof challenge);

    tSmbNtlmAuthResponse response;
    std::memset(&response, 0, sizeof response);
    buildSmbNtlmAuthResponse(&challenge, &response, user.c_str(), password.c_str());
    return EncodeRecord(&response, sizeof response, size_t(SmbLength(&response)), base64);
}
