// The sessions of one gateway by identifier: opens new ones up to the
// limits (all sessions, per client address, new ones per second per client
// address; none while draining), hands later requests to theirs, forgets
// the ones that ended. Called from any I/O thread; a lock guards the table,
// and each session's own work is posted to its strand.
#ifndef VEMNET_GATEWAY_SESSION_TABLE_H
#define VEMNET_GATEWAY_SESSION_TABLE_H

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "tools/gateway/client_limits.h"
#include "tools/gateway/form_body.h"
#include "tools/gateway/reply.h"

namespace gateway {

class Session;

struct TableSettings {
    boost::asio::ip::tcp::resolver::results_type backend;
    size_t maxSessions = 0;
    size_t clientSessions = 0;
    double clientRate = 0;
    std::chrono::seconds idleTimeout{60};
    std::chrono::seconds hold{20};
    std::string node;
    bool verbose = false;
};

class SessionTable {
public:
    SessionTable(boost::asio::io_context& io, TableSettings settings);
    // Ends the sessions still open; only once no I/O thread runs.
    ~SessionTable();

    // A new session when the request names none, else the request goes to
    // its session; 404 for an unknown one, 503 when the table is full or
    // draining, 429 over a client's limits.
    void Handle(SessionRequest request, const std::string& client, Respond respond);
    size_t Size() const;
    bool Knows(const std::string& id) const;
    // GET /healthz: 200 "ready", 503 "full" or 410 "draining".
    void Health(int* status, std::string* text) const;
    // No new sessions from now on.
    void StartDrain();
    // Ends every open session (on its strand).
    void EndAll(const char* why);

private:
    struct Entry {
        std::shared_ptr<Session> session;
        std::string client;
    };
    void Forget(const std::string& id, const char* why);

    boost::asio::io_context& io_;
    TableSettings settings_;
    mutable std::mutex mutex_;
    std::map<std::string, Entry> sessions_;
    ClientLimits clients_;
    bool draining_ = false;
};

}  // namespace gateway

#endif
