#include <gtest/gtest.h>

#include <string>

#include "frame/exceptions.h"
#include "frame/sockethelper.h"
#include "logging/logger.h"
#include "tests/support/loopback_pair.h"

TEST(SocketErrors, TextWithoutCodeIsTheMessageAlone) {
    socket_error e(0, "recv");
    EXPECT_STREQ(e.what(), "recv");
    EXPECT_EQ(e.code(), 0);
}

TEST(SocketErrors, TextWithCodeIsComposedOnceWithTheSystemText) {
    // 10061 has a system text on Windows, under wine and in our own table.
    socket_error e(10061, "recv");
    std::string first = e.what();
    EXPECT_EQ(first.rfind("recv - 10061: ", 0), 0u) << first;
    EXPECT_GT(first.size(), std::string("recv - 10061: ").size());
    EXPECT_EQ(first.find("No Error Text."), std::string::npos);
    EXPECT_EQ(std::string(e.what()), first);   // composed once
    socket_error copy = e;
    EXPECT_EQ(std::string(copy.what()), first);
}

TEST(SocketErrors, UnknownCodeEndsInNoErrorText) {
    socket_error e(4000123, "send");
    EXPECT_STREQ(e.what(), "send - 4000123: No Error Text.");
}

TEST(SocketErrors, MessageAloneTakesTheLastSocketError) {
    plat::SetLastSocketError(10061);
    socket_error e("connect");
    EXPECT_EQ(e.code(), 10061);
    try {
        throw e;
    } catch (const exception_errno& caught) {
        EXPECT_EQ(std::string(caught.what()).rfind("connect - 10061: ", 0), 0u);
    }
}

TEST(SocketErrors, CreateSocketErrorIsASocketError) {
    plat::SetLastSocketError(10024);
    try {
        ThrowCreateSocketError();
    } catch (const socket_error& e) {
        EXPECT_EQ(e.code(), 10024);
        EXPECT_EQ(std::string(e.what()).rfind("create socket - 10024: ", 0), 0u);
        return;
    }
    FAIL();
}

TEST(Sockethelper, RecvOnAnEmptyNonBlockingSocketRaisesWouldBlock) {
    plat::socket_t a, b;
    ASSERT_TRUE(testing_support::ConnectedPair(&a, &b));
    Sockethelper h;
    h.sock = a;
    h.SetNonBlocking();
    char buf[16];
    try {
        h.Recv(buf, sizeof buf);
        FAIL() << "recv should have failed";
    } catch (const socket_error& e) {
        EXPECT_EQ(e.code(), 10035);
        EXPECT_EQ(std::string(e.what()).rfind("recv - 10035: ", 0), 0u);
    }
    plat::CloseSocket(b);
}

TEST(Sockethelper, SendOnAFullBufferReturnsZero) {
    plat::socket_t a, b;
    ASSERT_TRUE(testing_support::ConnectedPair(&a, &b));
    Sockethelper h;
    h.sock = a;
    h.SetNonBlocking();
    std::string chunk(65536, 'q');
    long total = 0;
    int r;
    while ((r = h.Send(chunk.data(), int(chunk.size()))) > 0) {
        total += r;
        ASSERT_LT(total, 64L << 20) << "the peer never reads; the buffer must fill";
    }
    EXPECT_EQ(r, 0);
    plat::CloseSocket(b);
}

TEST(Sockethelper, RefusedConnectRaisesConnectWithTheRefusalCode) {
    int port = 0;
    plat::socket_t l = testing_support::Listen(&port);
    plat::CloseSocket(l);   // nothing listens there now
    Sockethelper h;
    h.sock = plat::OpenSocket(true);
    try {
        h.Connect(testing_support::Loopback(), port);
        FAIL();
    } catch (const socket_error& e) {
        EXPECT_EQ(e.code(), 10061);
        EXPECT_EQ(std::string(e.what()).rfind("connect - 10061", 0), 0u);
    }
}

TEST(Sockethelper, BindTexts) {
    Sockethelper h;
    h.sock = plat::OpenSocket(true);
    try {
        h.Bind(0, "localhost");
        FAIL();
    } catch (const socket_error& e) {
        EXPECT_EQ(e.code(), 0);
        EXPECT_STREQ(e.what(), "bind: invalid ip=localhost");
    }
    int port = 0;
    plat::socket_t l = testing_support::Listen(&port);
    try {
        h.Bind(port, "127.0.0.1");
        FAIL();
    } catch (const socket_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("bind at " + std::to_string(port) + " - 10048", 0), 0u) << e.what();
    }
    plat::CloseSocket(l);
}

TEST(ResolveHost, DottedAddressNamesAndInvalidNames) {
    EXPECT_EQ(ResolveHost("127.0.0.1"), testing_support::Loopback());
    EXPECT_EQ(ResolveHost("localhost"), testing_support::Loopback());
    // Not a host name at all: answered without asking any resolver.
    EXPECT_EQ(ResolveHost("no such host"), kAddrNone);
    EXPECT_EQ(ResolveHost(""), kAddrNone);
    EXPECT_EQ(ResolveHost("bad/name"), kAddrNone);
}

TEST(LoggerBinding, WithoutTheModuleNothingIsBoundAndLoggingChangesNothing) {
    EXPECT_FALSE(LoggerModuleBound());
    LogLine(NamedLogger::SelSelector, 4, L"select error: %d, %d", 1, 2);
    socket_error e(10035, "recv");
    EXPECT_EQ(std::string(e.what()).rfind("recv - 10035: ", 0), 0u);
}
