#include "sockets/udp_socket.h"

#include <exception>
#include <string>

#include "frame/base_selector.h"
#include "frame/exceptions.h"

UdpSocket::UdpSocket(void* callback, BaseSelector* frame) : callback_(callback) { selector_ = frame; }

void UdpSocket::Open(const char* host, int port, int local_port) {
    helper_.sock = plat::OpenSocket(false);
    if (helper_.sock == plat::kInvalidSocket) ThrowCreateSocketError();
    helper_.Bind(local_port, nullptr);
    uint32_t ip = ResolveHost(host ? host : "");
    // An unresolved name goes on as INADDR_NONE; connect reports it.
    if (!helper_.Connect(ip, port)) throw socket_error("udp conect");
}

int UdpSocket::SendTo(const char* data, int len, unsigned ip, int port) {
    // A failure is a result, never an exception: the caller may be built by
    // a compiler that cannot catch ours.
    try {
        return helper_.SendTo(data, len, ip, port);
    } catch (const std::exception&) {
        return -1;
    }
}

void UdpSocket::Close() {
    // Never registered, so no wait of the frame involves the handle; the
    // lock covers only the timer table that the destructor consults.
    FrameGuard guard(selector_);
    delete this;
}
