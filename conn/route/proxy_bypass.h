// The hosts a proxy setting says to reach without a proxy.
#ifndef VEMNET_PROXY_BYPASS_H
#define VEMNET_PROXY_BYPASS_H

#include <string>

namespace VemNetwork {

// True when bypass names host. Entries are separated by ";", "," or blanks
// and matched without regard to letter case:
//   "*"             every host
//   "<local>"       a name without a dot (Windows' "bypass for local")
//   "*.example.com" a pattern, "*" standing for any run of characters
//   ".example.com"  example.com and every name below it
//   "example.com"   the same (as no_proxy means it)
//   "10.0.0.1"      that address as written
//   "10.0.0.0/8"    an IPv4 address in that block (the host as a literal)
//   "name:8080"     the entry, for connections to that port only
// port 0 stands for a port not known: an entry's port is then not looked at.
bool BypassesProxy(const std::wstring& host, const std::wstring& bypass, int port = 0);

}  // namespace VemNetwork

#endif
