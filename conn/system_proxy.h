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
// Reads the platform's proxy setting and parses it; empty when there is none.
std::list<ProxyInfo> SystemProxyCandidates();

}  // namespace VemNetwork

#endif
