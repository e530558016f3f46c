// Base64 codec. The encoder writes 76-character lines ended by CR LF (the
// form the HTTP request engine posts); the decoder accepts anything, skipping
// every byte outside the alphabet, so that it reads line-broken, padded and
// space-littered text alike.
#include "conn/auth/base64.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Complete 3-byte groups per output line: 19 groups give 76 characters.
const int kGroupsPerLine = 19;

// 6-bit value of an alphabet character, -1 for every other byte.
int DecodeChar(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

int Base64EncodeGetRequiredLength(int n, uint32_t flags) {
    // A negative count has no size; treat it like one whose characters
    // cannot be counted in 32 bits.
    const int64_t quad = int64_t(n) * 4;
    if (n < 0 || quad > INT32_MAX) throw std::length_error("base64 input too long");

    int64_t r = quad / 3;
    if (!(flags & BASE64_FLAG_NOPAD)) r += n % 3;
    const int64_t last = r % 76;
    const int64_t s = (last != 0 && last % 4 != 0) ? r + 4 - last % 4 : r;
    if (flags & BASE64_FLAG_NOCRLF) return int(s);
    // Line breaks are counted from r before rounding, plus one spare break.
    return int(s + 2 * (r / 76) + 2);
}

bool Base64Encode(const unsigned char* src, int n, char* dest, int* destLen, uint32_t flags) {
    if (!src || !dest || !destLen || n < 0) return false;
    if (*destLen < Base64EncodeGetRequiredLength(n, flags)) return false;

    const bool crlf = !(flags & BASE64_FLAG_NOCRLF);
    char* out = dest;
    const int groups = n / 3;
    for (int g = 0; g < groups; ++g) {
        const uint32_t v = (uint32_t(src[0]) << 16) | (uint32_t(src[1]) << 8) | src[2];
        src += 3;
        *out++ = kAlphabet[(v >> 18) & 63];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = kAlphabet[(v >> 6) & 63];
        *out++ = kAlphabet[v & 63];
        if (crlf && (g + 1) % kGroupsPerLine == 0) {
            *out++ = '\r';
            *out++ = '\n';
        }
    }

    const int k = n % 3;
    if (k != 0) {
        uint32_t v = uint32_t(src[0]) << 16;
        if (k == 2) v |= uint32_t(src[1]) << 8;
        *out++ = kAlphabet[(v >> 18) & 63];
        *out++ = kAlphabet[(v >> 12) & 63];
        if (k == 2) *out++ = kAlphabet[(v >> 6) & 63];
        if (!(flags & BASE64_FLAG_NOPAD)) {
            for (int i = k; i < 3; ++i) *out++ = '=';
        }
    }

    *destLen = int(out - dest);
    return true;
}

bool Base64Decode(const char* src, int srcLen, unsigned char* dest, int* destLen) {
    if (!src || !destLen) return false;
    if (srcLen < 0) {
        *destLen = 0;
        return false;
    }

    const int64_t room = *destLen;
    bool overflow = (dest == nullptr);
    int64_t count = 0;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(src);
    const unsigned char* end = in + srcLen;

    while (in < end && *in != 0) {
        // Up to four alphabet characters; everything else, a NUL inside the
        // group included, is stepped over.
        uint32_t bits = 0;
        int chars = 0;
        while (chars < 4 && in < end) {
            const int v = DecodeChar(*in++);
            if (v < 0) continue;
            bits = (bits << 6) | uint32_t(v);
            ++chars;
        }
        const int bytes = (6 * chars) / 8;
        if (bytes == 0) continue;
        bits <<= 6 * (4 - chars);   // left-align the group in 24 bits

        if (!overflow && count + bytes > room) overflow = true;
        if (!overflow) {
            unsigned char* out = dest + count;
            out[0] = (unsigned char)(bits >> 16);
            if (bytes > 1) out[1] = (unsigned char)(bits >> 8);
            if (bytes > 2) out[2] = (unsigned char)bits;
        }
        count += bytes;
    }

    *destLen = count > INT32_MAX ? INT32_MAX : int(count);
    return !overflow;
}

std::string Base64EncodeString(const std::string& bytes, uint32_t flags) {
    if (bytes.size() > size_t(INT32_MAX)) throw std::length_error("base64 input too long");
    const int n = int(bytes.size());
    int room = Base64EncodeGetRequiredLength(n, flags);
    std::string out(size_t(room), '\0');
    // data() of an empty string is valid but the encoder rejects null; give
    // it a real address either way.
    static const unsigned char kNone = 0;
    const unsigned char* src =
        n ? reinterpret_cast<const unsigned char*>(bytes.data()) : &kNone;
    if (!Base64Encode(src, n, &out[0], &room, flags)) return std::string();
    out.resize(size_t(room));
    return out;
}

std::string Base64DecodeString(const std::string& text) {
    if (text.size() > size_t(INT32_MAX)) throw std::length_error("base64 input too long");
    // Four characters give at most three bytes.
    int room = int(text.size() / 4 * 3 + 3);
    std::string out(size_t(room), '\0');
    Base64Decode(text.data(), int(text.size()), reinterpret_cast<unsigned char*>(&out[0]), &room);
    out.resize(size_t(room));
    return out;
}
