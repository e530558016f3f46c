// The system's proxy setting as a list of candidate proxies.
#ifndef VEMNET_SYSTEM_PROXY_H
#define VEMNET_SYSTEM_PROXY_H

#include <list>
#include <string>

#include "vemnet/netconn.h"

namespace VemNetwork {

// Parses a proxy list text ("http=host:port socks=host:port", or "host:port")
// into candidates: type 4 for HTTP, type 1 for a "socks" key.
std::list<ProxyInfo> ParseProxyList(const std::wstring& list);
// The proxies the platform's setting names for target, in order; empty when
// there are none or the setting says to reach target directly.
std::list<ProxyInfo> SystemProxyCandidates(const std::wstring& target);

}  // namespace VemNetwork

#endif
