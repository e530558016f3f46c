// The system's proxy setting as a list of candidate proxies.
#ifndef VEMNET_SYSTEM_PROXY_H
#define VEMNET_SYSTEM_PROXY_H

#include <cstdint>
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

// A proxy auto-configuration answers for a target host. The system's (a
// PAC script or auto-detection, when the system is set to one) is asked
// unless SetProxyAnswerSource names another (tests); null goes back to the
// system's. A source may take its time (fetching and running a script): it
// is asked on a thread of its own, one question per host at a time, at most
// kMostOpenProxyQuestions at once, and waited for at most
// kProxyAnswerLimitMs from the question, after which the static setting is
// used. An answer, or its absence, serves the same host for
// kProxyAnswerKeepMicros. Setting a source forgets the answers.
using ProxyAnswerSource = bool (*)(const std::wstring& target, std::wstring* answer);
void SetProxyAnswerSource(ProxyAnswerSource source);
// Whether type-5 candidates come from an auto-configuration (which may make
// the caller wait) rather than from the static setting.
bool HasProxyAnswerSource();
const int kProxyAnswerLimitMs = 4000;
const uint64_t kProxyAnswerKeepMicros = 10ull * 1000 * 1000;
const size_t kMostOpenProxyQuestions = 4;

// The candidates for target, in the order to try them: the auto-config's
// answer when there is one, else the platform's setting (empty when it names
// no proxy or bypasses target). Proxies that failed lately go last. May
// block for up to kProxyAnswerLimitMs: never call it on a frame's thread.
std::list<ProxyInfo> SystemProxyCandidates(const std::wstring& target);

}  // namespace VemNetwork

#endif
