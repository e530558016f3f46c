// Between the interface's text types and the library's own strings.
#ifndef VEMNET_WIDE_TEXT_H
#define VEMNET_WIDE_TEXT_H

#include <string>

#include "vemnet/netconn.h"

namespace VemNetwork {

inline std::wstring ToWString(const WideStringView& text) { return std::wstring(text.data(), text.size()); }

// A record with a field longer than its room cannot be used as it is: a cut
// host name or password would reach the wrong proxy or fail its login.
inline bool HasCutText(const ProxyInfo& proxy) {
    return proxy.host.cut() || proxy.user.cut() || proxy.password.cut() || proxy.domain.cut();
}

}  // namespace VemNetwork

#endif
