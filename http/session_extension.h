// The session protocol's extension: held polls, numbered requests that may
// be repeated, and a clean end. A client announces it in a request header
// of its first request; a server that does not know the header ignores it
// and the session keeps the plain form. Only a server that answers the
// announcement with its offer is spoken to in the extended form.
//
// Request header (every request of an extended session, and the first):
//
//   +--------------+--------------------------------------------------------+
//   | X-Vemnet-Ext | "ext=1"  the client speaks this extension (first only) |
//   |              | "rid=N"  request number, 1 up; a repeat keeps its N     |
//   |              | "ack=N"  the replies to every number up to N arrived    |
//   |              | "wait=1" a poll: the server may hold it                 |
//   +--------------+--------------------------------------------------------+
//   fields joined by "; ", in this order, absent ones left out.
//
// The request body stays "session=" ID "&data=" Base64, exactly as before.
//
// Replies with status 200, only to a client that announced the extension:
//
//   +---------------+-----------------------------------------------------+
//   | the offer     | "session=" ID "&ext=1&hold=" MS "&max=" BYTES        |
//   |               |   hold: how long a poll may be held (0: never);      |
//   |               |   max: the most message bytes one request may carry  |
//   | data          | "at=" N ["&end=1"] "&data=" Base64 (lines of 76)     |
//   |               |   at: offset of the first byte in the server's       |
//   |               |   stream; end: the stream ends after these bytes     |
//   +---------------+-----------------------------------------------------+
//
// Any other status to such a client is the server's own verdict when its
// body begins "error=" (the session is over); without it, a 502, 503 or 504
// comes from something on the way and the request is repeated.
#ifndef VEMNET_HTTP_SESSION_EXTENSION_H
#define VEMNET_HTTP_SESSION_EXTENSION_H

#include <cstdint>
#include <string>

namespace VemNetwork {
namespace session_ext {

extern const char kHeaderName[];   // "X-Vemnet-Ext"
extern const char kErrorPrefix[];  // "error="

struct RequestFields {
    bool announce = false;
    uint64_t rid = 0;   // 0: none
    uint64_t ack = 0;
    bool wait = false;
};
// The header's value: "ext=1; rid=5; ack=4; wait=1".
std::string FormatRequestFields(const RequestFields& fields);
// Unknown fields are skipped; false when a known one has no number.
bool ParseRequestFields(const std::string& value, RequestFields* out);

struct Offer {
    uint32_t holdMs = 0;
    uint32_t maxMessage = 0;
};
std::string FormatOffer(const std::string& session, const Offer& offer);
// False when body is a plain "session=" reply (or no session reply at all).
bool ParseOffer(const std::string& body, std::string* session, Offer* offer);

struct DataReply {
    uint64_t at = 0;
    bool end = false;
    size_t dataFrom = 0;  // where the Base64 text starts in the body
};
// "at=N&end=1&data=" (end only when set); the Base64 text follows.
std::string FormatDataHead(uint64_t at, bool end);
bool ParseDataReply(const std::string& body, DataReply* out);

}  // namespace session_ext
}  // namespace VemNetwork

#endif
