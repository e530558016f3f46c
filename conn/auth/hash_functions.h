// The message digests HTTP Digest authentication needs (RFC 7616): MD5
// (RFC 1321) and SHA-256 (FIPS 180-4), as lower-case hexadecimal text.
// Small and self-contained, so that both builds have them without a crypto
// library.
#ifndef VEMNET_HASH_FUNCTIONS_H
#define VEMNET_HASH_FUNCTIONS_H

#include <string>

std::string Md5Hex(const std::string& bytes);
std::string Sha256Hex(const std::string& bytes);

#endif
