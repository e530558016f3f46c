// The body of a session request: "session=" + identifier + "&" + "data=" +
// Base64, as the client writes it. Nothing in it is escaped: the Base64 text
// keeps its '+', '/', '=' and CR LF, so the body is split on the first '&'
// and each field on its first '=', and never URL-decoded.
#ifndef VEMNET_GATEWAY_FORM_BODY_H
#define VEMNET_GATEWAY_FORM_BODY_H

#include <string>

#include "http/session_extension.h"

namespace gateway {

struct SessionRequest {
    std::string session;  // empty: the client asks for a new session
    std::string data;     // decoded bytes for the backend
    // The extension's fields from the request header (none: the plain form).
    VemNetwork::session_ext::RequestFields ext;
    bool Extended() const { return ext.announce || ext.rid != 0; }
};

// False with a short reason in *error when the body is not the two fields
// above or the data is not Base64 (standard alphabet, '=' padding, CR LF
// line breaks allowed).
bool ParseSessionRequest(const std::string& body, SessionRequest* out, std::string* error);

// The identifier a body or a "session=" reply names, empty when none (for
// the log).
std::string SessionNamedIn(const std::string& body);

}  // namespace gateway

#endif
