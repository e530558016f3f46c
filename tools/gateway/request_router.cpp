#include "tools/gateway/request_router.h"

#include "tools/gateway/form_body.h"
#include "tools/gateway/metrics.h"
#include "tools/gateway/session_table.h"

namespace gateway {
namespace {

const char kHealthPath[] = "/healthz";
const char kMetricsPath[] = "/metrics";

}  // namespace

std::string PathOfTarget(const std::string& target) {
    std::string path = target;
    size_t scheme = path.find("://");
    if (!path.empty() && path[0] != '/' && scheme != std::string::npos) {
        size_t slash = path.find('/', scheme + 3);
        path = slash == std::string::npos ? "/" : path.substr(slash);
    }
    return path.substr(0, path.find_first_of("?#"));
}

void RequestRouter::Handle(Request request, Respond respond) {
    // The client sends only the path of its URL; a query is ignored.
    std::string path = PathOfTarget(request.target);
    if (path != path_ && path == kHealthPath) {
        int status = 0;
        std::string text;
        table_.Health(&status, &text);
        respond(status, std::move(text));
        return;
    }
    if (path != path_ && path == kMetricsPath) {
        respond(kStatusOk, GatewayMetrics().Render());
        return;
    }
    if (path != path_) {
        respond(kStatusNotFound, "no session service at this path\n");
        return;
    }
    // An unknown session is told so before its data is checked and decoded,
    // which for a 4 MiB body takes milliseconds of an I/O thread.
    std::string named = SessionNamedIn(request.body);
    if (!named.empty() && !table_.Knows(named)) {
        respond(kStatusNotFound, "unknown session\n");
        return;
    }
    SessionRequest session;
    std::string error;
    if (!ParseSessionRequest(request.body, &session, &error)) {
        respond(kStatusBadRequest, error + "\n");
        return;
    }
    request.body = std::string();  // the decoded data is all that stays
    if (!request.ext.empty() && !VemNetwork::session_ext::ParseRequestFields(request.ext, &session.ext)) {
        respond(kStatusBadRequest, "the " + std::string(VemNetwork::session_ext::kHeaderName) + " header is malformed\n");
        return;
    }
    if (session.Extended()) {
        // The session's own verdicts are told apart from an intermediary's.
        respond = [inner = std::move(respond)](int status, std::string body) {
            inner(status, status == kStatusOk ? std::move(body) : VemNetwork::session_ext::kErrorPrefix + body);
        };
    }
    table_.Handle(std::move(session), request.client, std::move(respond));
}

}  // namespace gateway
