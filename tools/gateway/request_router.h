// One HTTP request of the session protocol: the configured path, any verb,
// a session body; the rest is the session table's.
#ifndef VEMNET_GATEWAY_REQUEST_ROUTER_H
#define VEMNET_GATEWAY_REQUEST_ROUTER_H

#include <string>

#include "tools/gateway/reply.h"

namespace gateway {

class SessionTable;

class RequestRouter {
public:
    RequestRouter(std::string path, SessionTable& table) : path_(std::move(path)), table_(table) {}
    void Handle(const std::string& target, std::string body, Respond respond);

private:
    std::string path_;
    SessionTable& table_;
};

}  // namespace gateway

#endif
