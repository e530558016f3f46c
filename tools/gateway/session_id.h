// Session identifiers: 128 random bits in 32 lowercase hex digits, then "-"
// and the node name when the gateway has one. The random part holds no "-",
// so the node is exactly what follows the 33rd character.
#ifndef VEMNET_GATEWAY_SESSION_ID_H
#define VEMNET_GATEWAY_SESSION_ID_H

#include <string>

namespace gateway {

// Letters, digits, '-' and '_', 1 to 64 of them.
bool IsNodeName(const std::string& name);
// A new identifier; throws std::runtime_error when the system has no
// randomness to give.
std::string NewSessionId(const std::string& node);
// An identifier as the log shows it: each one is a bearer credential, so
// only its first 8 digits, then ".." and the node ("-gw1") when it has one.
std::string ShortSessionId(const std::string& id);

}  // namespace gateway

#endif
