// Base64 with the standard alphabet (RFC 4648): an encoder that breaks lines
// every 76 characters unless told not to, and a lenient decoder that skips
// every byte outside the alphabet.
#ifndef VEMNET_BASE64_H
#define VEMNET_BASE64_H

#include <cstdint>
#include <string>

enum : uint32_t {
    BASE64_FLAG_NOPAD = 1,
    BASE64_FLAG_NOCRLF = 2,
};

// Upper bound of the characters the encoder writes for n bytes; throws
// std::length_error when 4 * n leaves the 32-bit signed range.
int Base64EncodeGetRequiredLength(int n, uint32_t flags);
// *destLen: room in dest on entry, characters written on success. No NUL.
bool Base64Encode(const unsigned char* src, int n, char* dest, int* destLen, uint32_t flags);
// *destLen: room in dest on entry, decoded length on return (also when the
// bytes did not fit, which returns false). A null dest only counts.
bool Base64Decode(const char* src, int srcLen, unsigned char* dest, int* destLen);

// Convenience forms over whole strings.
std::string Base64EncodeString(const std::string& bytes, uint32_t flags);
std::string Base64DecodeString(const std::string& text);

#endif
