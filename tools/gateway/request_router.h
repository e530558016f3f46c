// One HTTP request: GET /healthz and GET /metrics for the operator; on the
// configured path, any verb with a session body; the rest is the session
// table's.
#ifndef VEMNET_GATEWAY_REQUEST_ROUTER_H
#define VEMNET_GATEWAY_REQUEST_ROUTER_H

#include <string>

#include "tools/gateway/reply.h"

namespace gateway {

class SessionTable;

// A request as the HTTP side read it.
struct Request {
    std::string method;
    std::string target;  // origin form ("/p?q") or absolute form ("http://h/p")
    std::string body;
    std::string client;  // the client's address (X-Forwarded-For of a trusted proxy)
    std::string ext;     // the X-Vemnet-Ext header's value, empty when none
};

// The path of a target: scheme and authority of an absolute-form target,
// query and fragment dropped.
std::string PathOfTarget(const std::string& target);

class RequestRouter {
public:
    RequestRouter(std::string path, SessionTable& table) : path_(std::move(path)), table_(table) {}
    void Handle(Request request, Respond respond);

private:
    std::string path_;
    SessionTable& table_;
};

}  // namespace gateway

#endif
