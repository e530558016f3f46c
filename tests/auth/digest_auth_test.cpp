// Reading proxies' challenges, and Digest answers checked against the
// worked examples of RFC 7616 (3.9.1) and RFC 2617 (3.5).
#include <gtest/gtest.h>

#include "conn/auth/auth_challenge.h"
#include "conn/auth/digest_auth.h"

using namespace VemNetwork;

TEST(Challenges, SeveralSchemesQuotedCommasAndSeveralLines) {
    const std::vector<AuthChallenge> all = ParseChallenges(
        {L"Digest realm=\"a, \\\"b\\\"\", nonce=\"n1\", qop=\"auth,auth-int\", stale=TRUE, Basic realm=\"c\"",
         L"NTLM TlRMTVNTUAACAAAA", L"Negotiate YII=, Kerberos"});
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[0].scheme, AuthScheme::Digest);
    ASSERT_NE(all[0].Param(L"realm"), nullptr);
    EXPECT_EQ(*all[0].Param(L"realm"), L"a, \"b\"");
    EXPECT_EQ(*all[0].Param(L"qop"), L"auth,auth-int");
    EXPECT_EQ(*all[0].Param(L"stale"), L"TRUE");
    EXPECT_EQ(all[1].scheme, AuthScheme::Basic);
    EXPECT_EQ(*all[1].Param(L"realm"), L"c");
    EXPECT_EQ(all[2].scheme, AuthScheme::Ntlm);
    EXPECT_EQ(all[2].token, L"TlRMTVNTUAACAAAA");
    EXPECT_EQ(all[3].scheme, AuthScheme::Negotiate);
    EXPECT_EQ(all[3].token, L"YII=");
    EXPECT_EQ(all[4].scheme, AuthScheme::Other);
    EXPECT_EQ(all[4].name, L"Kerberos");
    // An unterminated quote keeps what came before it.
    EXPECT_EQ(ParseChallenges({L"Basic realm=x, Digest realm=\"open"}).size(), 2u);
}

TEST(Digest, AnswersMatchTheRfcExamples) {
    const std::vector<AuthChallenge> rfc7616 = ParseChallenges(
        {L"Digest realm=\"http-auth@example.org\", qop=\"auth, auth-int\", algorithm=MD5, "
         L"nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\"",
         L"Digest realm=\"http-auth@example.org\", qop=\"auth, auth-int\", algorithm=SHA-256, "
         L"nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\""});
    DigestChallenge c;
    std::wstring why;
    ASSERT_TRUE(ChooseDigestChallenge(rfc7616, &c, &why));
    EXPECT_EQ(c.algorithmName, "SHA-256");   // the stronger of the two
    const std::string cnonce = "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ";
    std::string v = DigestAuthorization(c, "Mufasa", "Circle of Life", "GET", "/dir/index.html", 1, cnonce);
    EXPECT_NE(v.find("response=\"753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1\""),
              std::string::npos) << v;
    EXPECT_NE(v.find("qop=auth, nc=00000001, cnonce=\"" + cnonce + "\""), std::string::npos) << v;
    EXPECT_NE(v.find("opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\""), std::string::npos) << v;

    ASSERT_TRUE(ChooseDigestChallenge({rfc7616[0]}, &c, &why));
    v = DigestAuthorization(c, "Mufasa", "Circle of Life", "GET", "/dir/index.html", 1, cnonce);
    EXPECT_NE(v.find("response=\"8ca523f5e9506fed4657c9700eebdbec\""), std::string::npos) << v;

    // RFC 2617: no algorithm named means MD5.
    ASSERT_TRUE(ChooseDigestChallenge(
        ParseChallenges({L"Digest realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
                         L"nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\""}),
        &c, &why));
    v = DigestAuthorization(c, "Mufasa", "Circle Of Life", "GET", "/dir/index.html", 1, "0a4f113b");
    EXPECT_NE(v.find("response=\"6629fae49393a05397450978507c4ef1\""), std::string::npos) << v;

    EXPECT_FALSE(ChooseDigestChallenge(ParseChallenges({L"Digest realm=x, nonce=y, algorithm=SHA-512-256"}), &c, &why));
    EXPECT_EQ(why, L"Digest algorithm SHA-512-256 not supported");
}
