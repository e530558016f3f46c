// One reply of an HTTP proxy to CONNECT: finding where it ends in the
// received bytes, and splitting it into status line and headers.
#ifndef VEMNET_PROXY_REPLY_H
#define VEMNET_PROXY_REPLY_H

#include <map>
#include <string>
#include <vector>

namespace VemNetwork {

struct ProxyReply {
    int code = -1;                 // status code; -1 until the status line is read
    std::wstring reason;           // reason phrase
    std::wstring statusLine;       // the first line as received, for the log
    unsigned short major = 1;      // HTTP version digits
    unsigned short minor = 1;
    // Header name (exact letter case) to its values in arrival order.
    std::map<std::wstring, std::vector<std::wstring>> headers;
    std::wstring text;             // the received text; parsing consumes it
    int length = 0;                // characters of the text before parsing
    // The status line is too short to hold a version ("HTTP/" followed by
    // fewer than three characters): nothing in the reply can be trusted.
    bool malformed = false;
};

// Looks for a whole reply at the front of data/len. Returns true when one is
// complete and then stores in *consumed the bytes that belong to it: the
// status line and headers, plus the body when its end is known (by its
// chunked transfer coding, by its "Content-Length", or, without either, an
// "<Html><Body>" body through "</Body></Html>"). A body not yet whole makes
// the reply incomplete. A successful (2xx) reply to CONNECT has no body: what
// follows its headers is tunnel data and is never counted.
bool ReadProxyReply(const char* data, int len, ProxyReply* reply, int* consumed);

// Reads the status line and headers out of reply->text, removing what it
// read. True when the headers ended with the empty line.
bool ParseProxyReply(ProxyReply* reply);

}  // namespace VemNetwork

#endif
