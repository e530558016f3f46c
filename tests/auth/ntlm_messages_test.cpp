#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "conn/auth/base64.h"
#include "conn/auth/ntlm_messages.h"

namespace {

uint32_t U32(const std::string& m, size_t at) {
    return uint32_t((unsigned char)m[at]) | uint32_t((unsigned char)m[at + 1]) << 8 |
           uint32_t((unsigned char)m[at + 2]) << 16 | uint32_t((unsigned char)m[at + 3]) << 24;
}
uint16_t U16(const std::string& m, size_t at) {
    return uint16_t((unsigned char)m[at] | (unsigned char)m[at + 1] << 8);
}
void Put32(std::string* m, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*m)[at + i] = char((v >> (8 * i)) & 0xFF);
}
void Put16(std::string* m, size_t at, uint16_t v) {
    (*m)[at] = char(v & 0xFF);
    (*m)[at + 1] = char(v >> 8);
}

// The field a security buffer header at `at` points to.
std::string Field(const std::string& m, size_t at) {
    const size_t len = U16(m, at), off = U32(m, at + 4);
    if (off + len > m.size()) return "<out of range>";
    return m.substr(off, len);
}

std::string Hex(const std::string& s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string Utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out += c;
        out += '\0';
    }
    return out;
}

// A type 2 message as a proxy sends it: header, flags (Unicode, NTLM), the
// server challenge, and the target name behind the 48-byte header.
std::string Challenge(const std::string& serverChallenge, const std::string& target) {
    const std::string name = Utf16(target);
    std::string m(48, '\0');
    m.replace(0, 8, std::string("NTLMSSP\0", 8));
    Put32(&m, 8, 2);
    Put16(&m, 12, uint16_t(name.size()));
    Put16(&m, 14, uint16_t(name.size()));
    Put32(&m, 16, 48);
    Put32(&m, 20, 0x00000201);
    m.replace(24, 8, serverChallenge);
    return m + name;
}

std::string Decode(const std::string& base64) { return Base64DecodeString(base64); }

}  // namespace

TEST(NtlmNegotiate, IsSentWholeAtTheLengthOfItsRecord) {
    // 40 bytes of user and domain together: 32-byte header plus 40.
    const std::string user(24, 'u'), domain(16, 'D');
    EXPECT_EQ(NtlmNegotiateLength(user, domain), 72);

    std::string text;
    ASSERT_TRUE(BuildNtlmNegotiate(user, domain, &text));
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    const std::string m = Decode(text);
    ASSERT_EQ(m.size(), 72u);
    EXPECT_EQ(m.substr(0, 8), std::string("NTLMSSP\0", 8));
    EXPECT_EQ(U32(m, 8), 1u);
    EXPECT_EQ(Field(m, 16), user);
    EXPECT_EQ(Field(m, 24), domain);
}

TEST(NtlmNegotiate, LengthFollowsTheNames) {
    EXPECT_EQ(NtlmNegotiateLength("", ""), 32);
    std::string text;
    ASSERT_TRUE(BuildNtlmNegotiate("alice", "CORP", &text));
    EXPECT_EQ(Decode(text).size(), size_t(NtlmNegotiateLength("alice", "CORP")));
    EXPECT_EQ(Decode(text).size(), 41u);
}

TEST(NtlmAuthenticate, AnswersAChallengeWithTheKnownResponses) {
    // The NTLMv1 example of the protocol's documentation: user "User",
    // password "Password", server challenge 0123456789abcdef.
    const std::string server("\x01\x23\x45\x67\x89\xab\xcd\xef", 8);
    const std::string challenge = Base64EncodeString(Challenge(server, "Domain"), BASE64_FLAG_NOCRLF);

    std::string text;
    ASSERT_TRUE(BuildNtlmAuthenticate(challenge, "User", "Password", &text));
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    const std::string m = Decode(text);
    ASSERT_GE(m.size(), 64u);
    EXPECT_EQ(m.substr(0, 8), std::string("NTLMSSP\0", 8));
    EXPECT_EQ(U32(m, 8), 3u);
    EXPECT_EQ(Hex(Field(m, 12)), "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13");
    EXPECT_EQ(Hex(Field(m, 20)), "67c43011f30298a2ad35ece64f16331c44bdbed927841f94");
    EXPECT_EQ(Field(m, 28), Utf16("Domain"));   // the target name of the challenge
    EXPECT_EQ(Field(m, 36), Utf16("User"));
    // The message is sent at its length: every field lies inside it, the
    // last one ends where the message ends.
    size_t end = 0;
    for (size_t h = 12; h <= 52; h += 8) end = std::max<size_t>(end, U32(m, h + 4) + U16(m, h));
    EXPECT_EQ(end, m.size());
}

TEST(NtlmAuthenticate, DependsOnTheServerChallenge) {
    std::string a, b;
    ASSERT_TRUE(BuildNtlmAuthenticate(
        Base64EncodeString(Challenge(std::string(8, '\x11'), "D"), BASE64_FLAG_NOCRLF), "u", "p", &a));
    ASSERT_TRUE(BuildNtlmAuthenticate(
        Base64EncodeString(Challenge(std::string(8, '\x22'), "D"), BASE64_FLAG_NOCRLF), "u", "p", &b));
    EXPECT_NE(Field(Decode(a), 20), Field(Decode(b), 20));
}

TEST(NtlmAuthenticate, SurvivesOversizedAndGarbageChallenges) {
    // Longer than the challenge record and than the decoding area, with a
    // target name pointing far outside the message, as a faulty proxy's
    // challenge does.
    std::string big = Challenge(std::string(8, '\x33'), "D");
    Put32(&big, 16, 0xAAAAAAAEu);
    big += std::string(5000, 'x');
    std::string text;
    EXPECT_TRUE(BuildNtlmAuthenticate(Base64EncodeString(big, BASE64_FLAG_NOCRLF), "u", "p", &text));
    EXPECT_EQ(U32(Decode(text), 8), 3u);

    EXPECT_TRUE(BuildNtlmAuthenticate("%%% not base64 %%%", "u", "p", &text));
    EXPECT_EQ(U32(Decode(text), 8), 3u);
    EXPECT_TRUE(BuildNtlmAuthenticate("", "", "", &text));
}
