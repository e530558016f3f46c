// The sessions of one gateway by identifier: opens new ones up to the limit,
// hands later requests to theirs, forgets the ones that ended.
#ifndef VEMNET_GATEWAY_SESSION_TABLE_H
#define VEMNET_GATEWAY_SESSION_TABLE_H

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "tools/gateway/form_body.h"
#include "tools/gateway/reply.h"

namespace gateway {

class Session;

struct TableSettings {
    boost::asio::ip::tcp::resolver::results_type backend;
    size_t maxSessions = 0;
    std::chrono::seconds idleTimeout{60};
    std::string node;
    bool verbose = false;
};

class SessionTable {
public:
    SessionTable(boost::asio::io_context& io, TableSettings settings);
    ~SessionTable();

    // A new session when the request names none, else the request goes to
    // its session; 404 for an unknown one, 503 when the table is full.
    void Handle(SessionRequest request, Respond respond);
    size_t Size() const { return sessions_.size(); }

private:
    void Forget(const std::string& id, const char* why);

    boost::asio::io_context& io_;
    TableSettings settings_;
    std::map<std::string, std::shared_ptr<Session>> sessions_;
};

}  // namespace gateway

#endif
