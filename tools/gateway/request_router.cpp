#include "tools/gateway/request_router.h"

#include "tools/gateway/form_body.h"
#include "tools/gateway/session_table.h"

namespace gateway {

void RequestRouter::Handle(const std::string& target, std::string body, Respond respond) {
    // The client sends only the path of its URL; a query is ignored.
    if (target.substr(0, target.find_first_of("?#")) != path_) {
        respond(kStatusNotFound, "no session service at this path\n");
        return;
    }
    SessionRequest request;
    std::string error;
    if (!ParseSessionRequest(body, &request, &error)) {
        respond(kStatusBadRequest, error + "\n");
        return;
    }
    table_.Handle(std::move(request), std::move(respond));
}

}  // namespace gateway
