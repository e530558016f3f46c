#include "tools/gateway/session_table.h"

#include <cstdio>
#include <vector>

#include "tools/gateway/session.h"
#include "tools/gateway/session_id.h"

namespace gateway {

SessionTable::SessionTable(boost::asio::io_context& io, TableSettings settings)
    : io_(io), settings_(std::move(settings)) {}

SessionTable::~SessionTable() {
    std::vector<std::shared_ptr<Session>> all;
    for (auto& entry : sessions_) all.push_back(entry.second);
    for (auto& s : all) s->End(kStatusUnavailable, "the gateway stops");
}

void SessionTable::Handle(SessionRequest request, Respond respond) {
    if (!request.session.empty()) {
        auto found = sessions_.find(request.session);
        if (found == sessions_.end()) {
            respond(kStatusNotFound, "unknown session\n");
            return;
        }
        std::shared_ptr<Session> session = found->second;
        session->Exchange(std::move(request.data), std::move(respond));
        return;
    }
    if (sessions_.size() >= settings_.maxSessions) {
        respond(kStatusUnavailable, "too many sessions\n");
        return;
    }
    std::string id = NewSessionId(settings_.node);
    auto session = std::make_shared<Session>(io_, id, settings_.idleTimeout,
                                             [this](const std::string& ended, const char* why) { Forget(ended, why); });
    sessions_[id] = session;
    if (settings_.verbose) std::fprintf(stderr, "vemnet-gateway: session %s opened\n", id.c_str());
    session->Open(settings_.backend, std::move(request.data), std::move(respond));
}

void SessionTable::Forget(const std::string& id, const char* why) {
    std::string key = id;  // id belongs to the session that may go with the entry
    if (settings_.verbose) std::fprintf(stderr, "vemnet-gateway: session %s ended: %s\n", key.c_str(), why);
    sessions_.erase(key);
}

}  // namespace gateway
