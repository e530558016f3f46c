// The texts that name proxies: the system's list ("http=host:port
// socks=host:port") and a proxy auto-configuration's answer ("PROXY a:3128;
// DIRECT"), read into candidates and written back for the log.
#ifndef VEMNET_PROXY_LIST_TEXT_H
#define VEMNET_PROXY_LIST_TEXT_H

#include <list>
#include <string>

#include "vemnet/netconn.h"

namespace VemNetwork {

// Parses a proxy list text ("http=host:port socks=host:port", or "host:port")
// into candidates: type 4 for HTTP, type 1 for a "socks" key.
std::list<ProxyInfo> ParseProxyList(const std::wstring& list);
// Parses the answer of a proxy auto-configuration for one target
// ("PROXY a:3128; SOCKS5 b:1080; SOCKS c:1080; DIRECT"): PROXY and HTTP give
// type 4, SOCKS and SOCKS4 type 1, SOCKS5 type 3, DIRECT a direct candidate
// (DirectCandidate()). Entries of other kinds (HTTPS, QUIC) or without a
// usable host are left out; a missing port is 80 for HTTP, 1080 for SOCKS.
std::list<ProxyInfo> ParseProxyAnswer(const std::wstring& answer);

// A candidate as an auto-config answer writes it ("PROXY h:p", "SOCKS h:p",
// "SOCKS5 h:p", "DIRECT"), and a list of them separated by "; ".
std::wstring DescribeCandidate(const ProxyInfo& candidate);
std::wstring DescribeCandidates(const std::list<ProxyInfo>& candidates);

}  // namespace VemNetwork

#endif
