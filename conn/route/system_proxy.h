// The system's proxy setting as a list of candidate proxies.
#ifndef VEMNET_SYSTEM_PROXY_H
#define VEMNET_SYSTEM_PROXY_H

#include <cstdint>
#include <list>
#include <string>

#include "conn/route/proxy_list_text.h"
#include "vemnet/netconn.h"

namespace VemNetwork {

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
// port is the target's (0: any), for exceptions that name a port.
std::list<ProxyInfo> SystemProxyCandidates(const std::wstring& target, int port = 0);

}  // namespace VemNetwork

#endif
