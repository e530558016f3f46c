// Wakes a poller's wait on Windows: a UDP socket bound to loopback that the
// poller watches for reading, and that Wake sends one byte to. Made on first
// use; one datagram stands for any number of wakes until it is consumed.
#ifndef VEMNET_WIN32_WAKE_DATAGRAM_H
#define VEMNET_WIN32_WAKE_DATAGRAM_H

#include <winsock2.h>

#include <atomic>
#include <mutex>

namespace plat {

class WakeDatagram {
public:
    WakeDatagram() = default;
    ~WakeDatagram();
    WakeDatagram(const WakeDatagram&) = delete;
    WakeDatagram& operator=(const WakeDatagram&) = delete;

    // The socket to watch for reading; INVALID_SOCKET if it cannot be made.
    SOCKET Socket();
    // Makes the socket readable. Any thread.
    void Wake();
    // Takes the pending datagram after the socket was seen readable.
    void Consume();

private:
    std::mutex lock_;
    SOCKET sock_ = INVALID_SOCKET;
    bool failed_ = false;
    sockaddr_in addr_{};
    std::atomic<bool> pending_{false};
};

}  // namespace plat

#endif
