// A send-only UDP socket: one datagram to 127.0.0.1:port. Returns the
// bytes sent, or -1 with the reason in *error.
#include <cstring>
#include <string>

#include <vemnet/vemnet.h>

namespace guide {

// An IPv4 address in network byte order, whatever the machine's order.
unsigned Ipv4(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    const unsigned char bytes[4] = {a, b, c, d};
    unsigned ip = 0;
    std::memcpy(&ip, bytes, sizeof ip);
    return ip;
}

int SendDatagram(int port, const std::string& payload, std::string* error) {
    // Associated with 127.0.0.1:port, bound to any free local port (0).
    // The socket never reports anything, so there is no callback.
    IUDPSock* udp = CreateAsyncUdpSock(nullptr, "127.0.0.1", port, 0, nullptr);
    if (!udp) {
        *error = "no UDP socket";   // the reason, e.g. "bind at 5000", is logged
        return -1;
    }
    // The destination is given with every datagram; -1 when the send failed.
    int sent = udp->SendTo(payload.data(), int(payload.size()), Ipv4(127, 0, 0, 1), port);
    if (sent < 0) *error = "send failed";
    udp->Close();   // releases the socket and its handle; never delete it
    return sent;
}

}  // namespace guide
