// What a proxy record is good for.
#ifndef VEMNET_PROXY_RECORD_H
#define VEMNET_PROXY_RECORD_H

#include "vemnet/netconn.h"

namespace VemNetwork {

// A port a target or a proxy may have; anything else is refused rather
// than cut to 16 bits.
inline bool IsTcpPort(int port) { return port > 0 && port <= 65535; }

// A record names a proxy to use: the system setting, or a host and a
// positive port.
inline bool IsUsableProxy(const ProxyInfo& proxy) {
    return proxy.type == PROXY_SYSTEM || (!proxy.host.empty() && proxy.port > 0);
}

// The system setting's "no proxy" among its candidates: the record a type-5
// Connect leaves when it goes direct (type 5, no host).
inline ProxyInfo DirectCandidate() {
    ProxyInfo direct;
    direct.type = PROXY_SYSTEM;
    direct.host.clear();
    return direct;
}
inline bool IsDirectCandidate(const ProxyInfo& proxy) {
    return proxy.type == PROXY_SYSTEM && proxy.host.empty();
}

}  // namespace VemNetwork

#endif
