#include "tools/gateway/session_table.h"

#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "tools/gateway/log.h"
#include "tools/gateway/metrics.h"
#include "tools/gateway/session.h"
#include "tools/gateway/session_id.h"

namespace gateway {

namespace asio = boost::asio;

SessionTable::SessionTable(asio::io_context& io, TableSettings settings)
    : io_(io), settings_(std::move(settings)), clients_(settings_.clientSessions, settings_.clientRate) {}

SessionTable::~SessionTable() {
    std::vector<std::shared_ptr<Session>> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& entry : sessions_) all.push_back(entry.second.session);
    }
    for (auto& s : all) s->End(kStatusUnavailable, "the gateway stops");
}

size_t SessionTable::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.size();
}

bool SessionTable::Knows(const std::string& id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sessions_.count(id) != 0;
}

void SessionTable::Health(int* status, std::string* text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (draining_) {
        *status = kStatusGone;
        *text = "draining\n";
    } else if (sessions_.size() >= settings_.maxSessions) {
        *status = kStatusUnavailable;
        *text = "full\n";
    } else {
        *status = kStatusOk;
        *text = "ready\n";
    }
}

void SessionTable::StartDrain() {
    std::lock_guard<std::mutex> lock(mutex_);
    draining_ = true;
}

void SessionTable::EndAll(const char* why) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : sessions_) {
        std::shared_ptr<Session> s = entry.second.session;
        asio::post(s->Executor(), [s, why] { s->End(kStatusUnavailable, why); });
    }
}

void SessionTable::Handle(SessionRequest request, const std::string& client, Respond respond) {
    if (!request.session.empty()) {
        std::shared_ptr<Session> session;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto found = sessions_.find(request.session);
            if (found != sessions_.end()) session = found->second.session;
        }
        if (!session) {
            respond(kStatusNotFound, "unknown session\n");
            return;
        }
        asio::post(session->Executor(), [session, data = std::move(request.data), ext = request.ext,
                                          respond = std::move(respond)]() mutable {
            session->Exchange(std::move(data), ext, std::move(respond));
        });
        return;
    }
    std::string id = NewSessionId(settings_.node);
    std::shared_ptr<Session> session;
    int status = kStatusOk;
    const char* refusal = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (draining_) {
            status = kStatusUnavailable;
            refusal = "the gateway is draining";
            GatewayMetrics().Refused(Refusal::Draining);
        } else if (sessions_.size() >= settings_.maxSessions) {
            status = kStatusUnavailable;
            refusal = "too many sessions";
            GatewayMetrics().Refused(Refusal::Full);
        } else {
            switch (clients_.TryOpen(client, ClientLimits::Clock::now())) {
            case ClientLimits::Verdict::TooManyOpen:
                status = kStatusTooManyRequests;
                refusal = "too many sessions from this address";
                GatewayMetrics().Refused(Refusal::ClientSessions);
                break;
            case ClientLimits::Verdict::TooFast:
                status = kStatusTooManyRequests;
                refusal = "too many new sessions a second from this address";
                GatewayMetrics().Refused(Refusal::ClientRate);
                break;
            case ClientLimits::Verdict::Allowed:
                session = std::make_shared<Session>(
                    asio::make_strand(io_), id, settings_.idleTimeout, settings_.hold,
                    [this](const std::string& ended, const char* why) { Forget(ended, why); });
                sessions_[id] = Entry{session, client};
                GatewayMetrics().sessions = int64_t(sessions_.size());
                GatewayMetrics().sessionsOpened++;
                break;
            }
        }
    }
    if (!session) {
        if (status == kStatusTooManyRequests) {
            GatewayLog().Line("refused a new session for %s: %s", client.c_str(), refusal);
        }
        respond(status, std::string(refusal) + "\n");
        return;
    }
    if (settings_.verbose) {
        GatewayLog().Line("session %s opened for %s", ShortSessionId(id).c_str(), client.c_str());
    }
    asio::post(session->Executor(),
               [session, backend = settings_.backend, data = std::move(request.data), ext = request.ext,
                respond = std::move(respond)]() mutable {
                   session->Open(backend, std::move(data), ext, std::move(respond));
               });
}

void SessionTable::Forget(const std::string& id, const char* why) {
    std::string key = id;  // id belongs to the session that may go with the entry
    if (settings_.verbose) GatewayLog().Line("session %s ended: %s", ShortSessionId(key).c_str(), why);
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = sessions_.find(key);
    if (found == sessions_.end()) return;
    clients_.Closed(found->second.client);
    sessions_.erase(found);
    GatewayMetrics().sessions = int64_t(sessions_.size());
}

}  // namespace gateway
