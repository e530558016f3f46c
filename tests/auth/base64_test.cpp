#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "conn/auth/base64.h"

namespace {

const unsigned char* Bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

std::string Encode(const std::string& in, uint32_t flags) {
    int room = Base64EncodeGetRequiredLength(int(in.size()), flags);
    std::string out(size_t(room) + 1, '#');
    EXPECT_TRUE(Base64Encode(Bytes(in), int(in.size()), &out[0], &room, flags));
    out.resize(size_t(room));
    return out;
}

std::string Pattern(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += char((i * 37 + 11) & 0xFF);
    return s;
}

}  // namespace

TEST(Base64Size, FollowsTheRoundingAndLineRule) {
    EXPECT_EQ(Base64EncodeGetRequiredLength(0, 0), 2);
    EXPECT_EQ(Base64EncodeGetRequiredLength(0, BASE64_FLAG_NOCRLF), 0);
    EXPECT_EQ(Base64EncodeGetRequiredLength(3, 0), 6);
    EXPECT_EQ(Base64EncodeGetRequiredLength(3, BASE64_FLAG_NOCRLF), 4);
    EXPECT_EQ(Base64EncodeGetRequiredLength(1, BASE64_FLAG_NOCRLF), 4);
    EXPECT_EQ(Base64EncodeGetRequiredLength(1, BASE64_FLAG_NOCRLF | BASE64_FLAG_NOPAD), 4);
    EXPECT_EQ(Base64EncodeGetRequiredLength(57, 0), 80);
    EXPECT_EQ(Base64EncodeGetRequiredLength(58, 0), 84);
    EXPECT_EQ(Base64EncodeGetRequiredLength(57, BASE64_FLAG_NOCRLF), 76);
}

TEST(Base64Size, IsAnUpperBoundOfWhatTheEncoderWrites) {
    const uint32_t flagSets[] = {0, BASE64_FLAG_NOPAD, BASE64_FLAG_NOCRLF,
                                 BASE64_FLAG_NOPAD | BASE64_FLAG_NOCRLF};
    for (uint32_t flags : flagSets) {
        for (size_t n = 0; n < 400; ++n) {
            const std::string in = Pattern(n);
            const int need = Base64EncodeGetRequiredLength(int(n), flags);
            std::string out(size_t(need), '\0');
            int room = need;
            ASSERT_TRUE(Base64Encode(Bytes(in), int(n), &out[0], &room, flags))
                << "n=" << n << " flags=" << flags;
            EXPECT_LE(room, need);
        }
    }
}

TEST(Base64Size, RefusesCountsBeyondTheSignedRange) {
    EXPECT_THROW(Base64EncodeGetRequiredLength(0x20000000, 0), std::length_error);
    EXPECT_THROW(Base64EncodeGetRequiredLength(-1, 0), std::length_error);
    EXPECT_NO_THROW(Base64EncodeGetRequiredLength(0x1FFFFFFF, 0));
    unsigned char b = 0;
    char out[8];
    int room = 8;
    EXPECT_THROW(Base64Encode(&b, 0x20000000, out, &room, 0), std::length_error);
}

TEST(Base64Encode, KnownTexts) {
    EXPECT_EQ(Encode("abc", BASE64_FLAG_NOCRLF), "YWJj");
    EXPECT_EQ(Encode("ab", BASE64_FLAG_NOCRLF), "YWI=");
    EXPECT_EQ(Encode("ab", BASE64_FLAG_NOCRLF | BASE64_FLAG_NOPAD), "YWI");
    EXPECT_EQ(Encode("a", BASE64_FLAG_NOCRLF), "YQ==");
    EXPECT_EQ(Encode("a", BASE64_FLAG_NOCRLF | BASE64_FLAG_NOPAD), "YQ");
    EXPECT_EQ(Encode("user:secret", BASE64_FLAG_NOCRLF), "dXNlcjpzZWNyZXQ=");
    EXPECT_EQ(Encode(std::string("\xff\xfe\x00", 3), BASE64_FLAG_NOCRLF), "//4A");
    // Short input: no line break at all, even with breaking on.
    EXPECT_EQ(Encode("abc", 0), "YWJj");
}

TEST(Base64Encode, ZeroBytesWritesNothing) {
    char out[4] = {'#', '#', '#', '#'};
    int room = 2;
    unsigned char b = 0;
    ASSERT_TRUE(Base64Encode(&b, 0, out, &room, 0));
    EXPECT_EQ(room, 0);
    EXPECT_EQ(out[0], '#');
}

TEST(Base64Encode, BreaksAfterEveryNineteenthGroup) {
    const std::string in57 = Pattern(57);
    const std::string out57 = Encode(in57, 0);
    ASSERT_EQ(out57.size(), 78u);
    EXPECT_EQ(out57.substr(76), "\r\n");
    EXPECT_EQ(out57.find('\r'), 76u);
    EXPECT_EQ(Encode(in57, BASE64_FLAG_NOCRLF), out57.substr(0, 76));

    const std::string out58 = Encode(Pattern(58), 0);
    ASSERT_EQ(out58.size(), 82u);
    EXPECT_EQ(out58.substr(0, 76), out57.substr(0, 76));
    EXPECT_EQ(out58.substr(76, 2), "\r\n");
    EXPECT_EQ(out58.substr(80), "==");

    // Three full lines and a partial one: breaks at 76, 154, 232 only.
    const std::string out = Encode(Pattern(57 * 3 + 5), 0);
    size_t breaks = 0;
    for (size_t p = out.find("\r\n"); p != std::string::npos; p = out.find("\r\n", p + 2)) {
        EXPECT_EQ(p, 76 + breaks * 78);
        ++breaks;
    }
    EXPECT_EQ(breaks, 3u);
    EXPECT_EQ(out.size(), 3 * 78 + 8u);
}

TEST(Base64Encode, RefusesSmallRoomAndNullsWithoutWriting) {
    const std::string in = Pattern(58);
    const int need = Base64EncodeGetRequiredLength(58, 0);
    std::string out(size_t(need), '#');
    int room = need - 1;
    EXPECT_FALSE(Base64Encode(Bytes(in), 58, &out[0], &room, 0));
    EXPECT_EQ(room, need - 1);
    EXPECT_EQ(out, std::string(size_t(need), '#'));

    room = need;
    EXPECT_FALSE(Base64Encode(nullptr, 58, &out[0], &room, 0));
    EXPECT_FALSE(Base64Encode(Bytes(in), 58, nullptr, &room, 0));
    EXPECT_FALSE(Base64Encode(Bytes(in), 58, &out[0], nullptr, 0));
    EXPECT_FALSE(Base64Encode(Bytes(in), -3, &out[0], &room, 0));
}

TEST(Base64Decode, SkipsEverythingOutsideTheAlphabet) {
    EXPECT_EQ(Base64DecodeString("YW Jj\r\n"), "abc");
    EXPECT_EQ(Base64DecodeString("YWI="), "ab");
    EXPECT_EQ(Base64DecodeString("YWI"), "ab");
    EXPECT_EQ(Base64DecodeString("YQ=="), "a");
    EXPECT_EQ(Base64DecodeString("Y"), "");   // one character carries no byte
    EXPECT_EQ(Base64DecodeString("*Y.W-J\tj!"), "abc");
    EXPECT_EQ(Base64DecodeString(std::string("YW\0Jj", 5)), "abc");   // NUL inside a group
}

TEST(Base64Decode, StopsAtANulBetweenGroups) {
    EXPECT_EQ(Base64DecodeString(std::string("YWJj\0YWJj", 9)), "abc");
}

TEST(Base64Decode, RoundTripsLineBrokenText) {
    for (size_t n : {0u, 1u, 2u, 56u, 57u, 58u, 114u, 1000u}) {
        const std::string in = Pattern(n);
        EXPECT_EQ(Base64DecodeString(Encode(in, 0)), in) << n;
        EXPECT_EQ(Base64DecodeString(Encode(in, BASE64_FLAG_NOPAD)), in) << n;
    }
}

TEST(Base64Decode, SmallDestinationKeepsWholeGroupsAndCountsAll) {
    const std::string text = "YWJjZGVm";   // abcdef
    unsigned char out[8];
    std::memset(out, '#', sizeof out);
    int room = 4;
    EXPECT_FALSE(Base64Decode(text.data(), int(text.size()), out, &room));
    EXPECT_EQ(room, 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), "abc");
    EXPECT_EQ(out[3], '#');   // the second group did not fit and was not started
    EXPECT_EQ(out[4], '#');

    room = 6;
    EXPECT_TRUE(Base64Decode(text.data(), int(text.size()), out, &room));
    EXPECT_EQ(room, 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 6), "abcdef");
}

TEST(Base64Decode, NullDestinationOnlyCounts) {
    int room = 100;
    EXPECT_FALSE(Base64Decode("YWJjZA==", 8, nullptr, &room));
    EXPECT_EQ(room, 4);
    unsigned char out[4];
    EXPECT_FALSE(Base64Decode(nullptr, 8, out, &room));
    EXPECT_FALSE(Base64Decode("YWJj", 4, out, nullptr));
}
