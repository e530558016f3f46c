// NetAddress to and from the system's socket address records. Both
// platforms' socket headers name the fields alike; each platform's
// sockets.cpp includes this after its own headers.
#ifndef VEMNET_SOCKET_ADDRESS_H
#define VEMNET_SOCKET_ADDRESS_H

#include <cstring>

#include "platform/platform.h"

namespace plat {

// Fills storage for address:port; the length to pass to the call.
inline int ToSockaddr(const NetAddress& address, int port, sockaddr_storage* storage) {
    std::memset(storage, 0, sizeof *storage);
    if (address.v6) {
        sockaddr_in6* a = reinterpret_cast<sockaddr_in6*>(storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<unsigned short>(port));
        std::memcpy(&a->sin6_addr, address.bytes, 16);
        a->sin6_scope_id = address.scope;
        return int(sizeof(sockaddr_in6));
    }
    sockaddr_in* a = reinterpret_cast<sockaddr_in*>(storage);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<unsigned short>(port));
    std::memcpy(&a->sin_addr, address.bytes, 4);
    return int(sizeof(sockaddr_in));
}

// False for a family other than the two.
inline bool FromSockaddr(const sockaddr* raw, NetAddress* address, int* port) {
    NetAddress out;
    int p = 0;
    if (raw->sa_family == AF_INET6) {
        const sockaddr_in6* a = reinterpret_cast<const sockaddr_in6*>(raw);
        out.v6 = true;
        std::memcpy(out.bytes, &a->sin6_addr, 16);
        out.scope = a->sin6_scope_id;
        p = ntohs(a->sin6_port);
    } else if (raw->sa_family == AF_INET) {
        const sockaddr_in* a = reinterpret_cast<const sockaddr_in*>(raw);
        std::memcpy(out.bytes, &a->sin_addr, 4);
        p = ntohs(a->sin_port);
    } else {
        return false;
    }
    if (address) *address = out;
    if (port) *port = p;
    return true;
}

inline bool SameAddress(const NetAddress& a, const NetAddress& b) {
    return a.v6 == b.v6 && a.scope == b.scope && std::memcmp(a.bytes, b.bytes, 16) == 0;
}

// The addresses of a getaddrinfo answer, in its order, each once.
inline void CollectAddresses(const addrinfo* list, std::vector<NetAddress>* out) {
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        NetAddress a;
        if (!ai->ai_addr || !FromSockaddr(ai->ai_addr, &a, nullptr)) continue;
        bool seen = false;
        for (const NetAddress& b : *out) seen = seen || SameAddress(a, b);
        if (!seen) out->push_back(a);
    }
}

// "[::1]" → "::1"; anything else as it is.
inline std::string WithoutBrackets(const char* text) {
    std::string s(text ? text : "");
    if (s.size() >= 2 && s.front() == '[' && s.back() == ']') return s.substr(1, s.size() - 2);
    return s;
}

}  // namespace plat

#endif
