// What the gateway answers to one HTTP request: a status and a body. Error
// replies carry a short text saying what went wrong.
#ifndef VEMNET_GATEWAY_REPLY_H
#define VEMNET_GATEWAY_REPLY_H

#include <functional>
#include <string>

namespace gateway {

enum Status : int {
    kStatusOk = 200,
    kStatusBadRequest = 400,
    kStatusNotFound = 404,
    kStatusRequestTimeout = 408,
    kStatusConflict = 409,
    kStatusGone = 410,
    kStatusTooLarge = 413,
    kStatusTooManyRequests = 429,
    kStatusInternalError = 500,
    kStatusBadGateway = 502,
    kStatusUnavailable = 503,
    kStatusGatewayTimeout = 504,
};

// Sends the answer to the request it belongs to; called at most once, from
// any thread.
using Respond = std::function<void(int status, std::string body)>;

}  // namespace gateway

#endif
