// The meaning of a SOCKS reply code, for the log line of a failed handshake.
#ifndef VEMNET_SOCKS_REPLY_TEXT_H
#define VEMNET_SOCKS_REPLY_TEXT_H

#include <string>

namespace VemNetwork {

// "SOCKS4 reply 91 (request rejected or failed)"
std::wstring Socks4ReplyText(unsigned char code);
// "SOCKS5 reply 5 (connection refused)"
std::wstring Socks5ReplyText(unsigned char code);

}  // namespace VemNetwork

#endif
