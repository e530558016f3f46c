// Send-only UDP sockets: binding, association and datagrams reaching a plain
// socket of the test.
#include <gtest/gtest.h>

#include <string>

#include "frame/exceptions.h"
#include "frame/sel_selector.h"
#include "sockets/udp_socket.h"
#include "tests/support/frame_thread.h"
#include "tests/support/socket_helpers.h"
#include "tests/support/wait.h"
#include "tests/support/raw_sockets.h"
#include "vemnet/sock.h"

using namespace testing_support;

namespace {

// A plain UDP socket of the test on 127.0.0.1 and a free port.
class RawUdp {
public:
    explicit RawUdp(uint32_t ip = LoopbackIp(), int port = 0) : sock_(plat::OpenSocket(false)), port_(0) {
        if (plat::Bind(sock_, ip, port) != 0) {
            plat::CloseSocket(sock_);
            sock_ = plat::kInvalidSocket;
            return;
        }
        plat::GetSockName(sock_, nullptr, &port_);
        plat::SetNonBlocking(sock_);
    }
    ~RawUdp() {
        if (sock_ != plat::kInvalidSocket) plat::CloseSocket(sock_);
    }
    bool ok() const { return sock_ != plat::kInvalidSocket; }
    int port() const { return port_; }
    // One datagram within ms; false when none came.
    bool Receive(std::string* data, uint32_t* ip, int* port, int ms = 3000) {
        char buf[2048];
        int n = -1;
        WaitFor([&] {
            n = testing_support::RecvFrom(sock_, buf, sizeof buf, ip, port);
            return n >= 0;
        }, ms);
        if (n < 0) return false;
        data->assign(buf, size_t(n));
        return true;
    }

private:
    plat::socket_t sock_;
    int port_;
};

// The export returns null; the text it logs is what Open raises.
std::string OpenFailure(IAsyncSelector* frame, const char* host, int port, int localPort) {
    EXPECT_EQ(CreateAsyncUdpSock(nullptr, host, port, localPort, frame), nullptr);
    FrameGuard guard(AsBase(frame));
    UdpSocket sock(nullptr, AsBase(frame));
    try {
        sock.Open(host, port, localPort);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(nothing raised)";
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

}  // namespace

TEST(UdpSocket, DatagramFromSystemChosenPortArrives) {
    FrameThread ft;
    RawUdp peer;
    ASSERT_TRUE(peer.ok());
    IUDPSock* u = CreateAsyncUdpSock(nullptr, "127.0.0.1", peer.port(), 0, ft.frame());
    ASSERT_NE(u, nullptr);
    int local = 0;
    plat::GetSockName(static_cast<UdpSocket*>(u)->GetHandle(), nullptr, &local);
    EXPECT_GT(local, 0);

    EXPECT_EQ(u->SendTo("datagram one", 12, LoopbackIp(), peer.port()), 12);
    std::string got;
    uint32_t fromIp = 0;
    int fromPort = 0;
    ASSERT_TRUE(peer.Receive(&got, &fromIp, &fromPort));
    EXPECT_EQ(got, "datagram one");
    EXPECT_EQ(fromIp, LoopbackIp());
    EXPECT_EQ(fromPort, local);

    // It never joins the frame's handler set and its timer does nothing.
    u->SetTimer(10);
    size_t handlers = 99;
    ft.RunSync([&] { handlers = static_cast<SelSelector*>(AsBase(ft.frame()))->HandlerCount(); });
    EXPECT_EQ(handlers, 0u);
    u->Close();
}

TEST(UdpSocket, FixedLocalPortAndRelease) {
    FrameThread ft;
    RawUdp peer;
    int port = UnusedPort();
    IUDPSock* u = CreateAsyncUdpSock(nullptr, "127.0.0.1", peer.port(), port, ft.frame());
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->SendTo("x", 1, LoopbackIp(), peer.port()), 1);
    std::string got;
    int fromPort = 0;
    ASSERT_TRUE(peer.Receive(&got, nullptr, &fromPort));
    EXPECT_EQ(fromPort, port);
    // Close releases the handle: the port can be bound again.
    u->Close();
    RawUdp again(0, port);
    EXPECT_TRUE(again.ok());
}

TEST(UdpSocket, UsedLocalPortFailsWithBindAt) {
    FrameThread ft;
    RawUdp blocker(0);
    ASSERT_TRUE(blocker.ok());
    RawUdp peer;
    std::string text = OpenFailure(ft.frame(), "127.0.0.1", peer.port(), blocker.port());
    EXPECT_TRUE(StartsWith(text, "bind at " + std::to_string(blocker.port()) + " - ")) << text;
}

TEST(UdpSocket, AssociationWithItselfIsRefused) {
    FrameThread ft;
    int port = UnusedPort();
    EXPECT_EQ(OpenFailure(ft.frame(), "127.0.0.1", port, port), "dereism connection found");
    // Nothing was left holding the port.
    RawUdp again(0, port);
    EXPECT_TRUE(again.ok());
}

TEST(UdpSocket, UnresolvedHostFailsInConnect) {
    FrameThread ft;
    std::string text = OpenFailure(ft.frame(), "no such host", 9, 0);
    EXPECT_TRUE(StartsWith(text, "connect")) << text;
}
