// vemnet-gateway's request handling on any input: the bytes are parsed as an
// HTTP request with the gateway's limits, and what parses goes through the
// router (paths, absolute-form targets, /healthz, /metrics) and the form
// parser into a session table whose backend cannot be reached, from a
// client address taken from the input; the replies are checked for what
// they must be. The form parser is also checked on the raw input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "conn/auth/base64.h"
#include "tools/gateway/form_body.h"
#include "tools/gateway/limits.h"
#include "tools/gateway/request_router.h"
#include "tools/gateway/session_table.h"

namespace http = boost::beast::http;

namespace {

void CheckForm(const std::string& body) {
    gateway::SessionRequest request;
    std::string error;
    bool ok = gateway::ParseSessionRequest(body, &request, &error);
    if (!ok && error.empty()) std::abort();  // a refusal has a reason
    if (!ok) return;
    if (body.compare(0, 8, "session=") != 0) std::abort();
    if (gateway::SessionNamedIn(body) != request.session) std::abort();
    if (request.session.find('&') != std::string::npos) std::abort();
    // The data is Base64 of the client's kind: it encodes back to the same
    // bytes.
    if (Base64DecodeString(Base64EncodeString(request.data, 0)) != request.data) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    CheckForm(input);

    // The first byte picks the client address, so that per-client limits
    // meet several clients.
    std::string client = "10.0.0." + std::to_string(data[0] % 4);
    boost::asio::io_context io;
    gateway::TableSettings settings;  // no backend address: every connect fails
    settings.maxSessions = 4;
    settings.clientSessions = 2;
    settings.clientRate = 3;
    gateway::SessionTable table(io, settings);
    gateway::RequestRouter router("/s", table);

    http::request_parser<http::string_body> parser;
    parser.header_limit(gateway::kRequestHeaderLimit);
    parser.body_limit(gateway::kRequestBodyLimit);
    parser.eager(true);
    boost::system::error_code ec;
    parser.put(boost::asio::buffer(input), ec);
    if (ec || !parser.is_done()) return 0;
    gateway::Request request;
    request.method = std::string(parser.get().method_string());
    request.target = std::string(parser.get().target());
    request.body = parser.get().body();
    request.client = client;
    auto ext = parser.get().find("X-Vemnet-Ext");
    if (ext != parser.get().end()) request.ext = std::string(ext->value());
    std::string path = gateway::PathOfTarget(request.target);
    if (path.find_first_of("?#") != std::string::npos) std::abort();

    int replies = 0;
    for (int round = 0; round < 3; ++round) {
        gateway::Request again = request;
        router.Handle(std::move(again), [&](int status, std::string body) {
            ++replies;
            if (body.empty()) std::abort();  // every reply says something
            if (status == gateway::kStatusOk && path == "/s" && body.compare(0, 8, "session=") != 0 &&
                body.compare(0, 5, "data=") != 0 && body.compare(0, 3, "at=") != 0) {
                std::abort();
            }
        });
        io.poll();  // the connects fail: sessions end with 502
        io.restart();
    }
    io.poll();
    if (replies != 3) std::abort();  // each request is answered once
    return 0;
}
