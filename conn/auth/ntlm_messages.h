// NTLM negotiate and authenticate messages for HTTP proxy authentication,
// built with libntlm and returned as Base64 without line breaks. Knows
// nothing of HTTP.
#ifndef VEMNET_NTLM_MESSAGES_H
#define VEMNET_NTLM_MESSAGES_H

#include <string>

// The type 1 message for user and domain (ANSI code page bytes); false when
// it cannot be encoded.
bool BuildNtlmNegotiate(const std::string& user, const std::string& domain, std::string* base64);
// The type 3 message answering the proxy's challenge (its Base64 text).
bool BuildNtlmAuthenticate(const std::string& challengeBase64, const std::string& user,
                           const std::string& password, std::string* base64);
// Raw length of the negotiate message built for user and domain (SmbLength).
int NtlmNegotiateLength(const std::string& user, const std::string& domain);

#endif
