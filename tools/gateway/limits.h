// The gateway's fixed limits and the defaults of its configurable ones: what
// one request, one reply and one session may hold, and how long the gateway
// waits for a client or a backend.
#ifndef VEMNET_GATEWAY_LIMITS_H
#define VEMNET_GATEWAY_LIMITS_H

#include <chrono>
#include <cstddef>

namespace gateway {

// The client reads a reply body of at most 131072 bytes in one exchange. A
// reply is "data=" and Base64 in lines of 76 characters and CR LF, i.e. 78
// characters per 57 bytes: 1680 whole lines fit (5 + 1680 * 78 = 131045).
constexpr size_t kClientReplyLimit = 131072;
constexpr size_t kReplyPayload = 57 * 1680;

// A request body: "session=", the identifier, "&data=" and the Base64 of one
// message of the host. Larger bodies get 413.
constexpr size_t kRequestBodyLimit = size_t(4) << 20;
// A request header (request line and fields); more gets 400.
constexpr size_t kRequestHeaderLimit = 8 << 10;
// The extension header's value is read up to this many characters.
constexpr size_t kExtHeaderLimit = 128;
// What a session of the extended protocol offers: polls held up to the
// hold time (below the 30 s idle limits of common proxies and HAProxy's
// shipped configuration), messages up to kExtendedMessage bytes a request
// (its Base64 stays far below the body limit), and replies of up to
// kExtendedReplyPayload bytes (the client reads bodies of up to 1 MiB).
constexpr int kDefaultHoldSeconds = 20;
constexpr size_t kExtendedMessage = 57 * 1680 * 2;
constexpr size_t kExtendedReplyPayload = 57 * 1680 * 7;
// Request bodies are read in steps of this many bytes into a string that
// grows as they arrive (never to a declared length up front). The first
// kUnbudgetedBody bytes of every body are free (the connection cap bounds
// them); what a body holds beyond them comes from the budget that all
// connections share (--request-memory), and a body that finds the budget
// spent gets 503.
constexpr size_t kBodyReadStep = 64 << 10;
constexpr size_t kUnbudgetedBody = 64 << 10;
constexpr size_t kDefaultRequestMemoryMiB = 256;
// Buffers of an idle connection or session above this capacity are given
// back to the allocator.
constexpr size_t kIdleBufferKeep = 16 << 10;

// Bytes from the client waiting for the backend. Above the soft limit a
// request is answered only when it can take the backend's bytes (a backend
// that writes before it reads, an echo, would otherwise wait on the client
// that waits on it); above the hard limit it is not answered at all.
constexpr size_t kBackendQueueSoftLimit = size_t(256) << 10;
constexpr size_t kBackendQueueHardLimit = size_t(1) << 20;
// Bytes are read from the backend ahead of the client up to two replies'
// worth.
constexpr size_t kBackendReadChunk = 64 << 10;

// A request waits this long at most for the backend to accept its bytes (or
// for the backend connection to open); then the session ends.
constexpr std::chrono::seconds kBackendWaitLimit(10);
// A request that carried data waits this long for the backend's answer, so
// that an echo comes back in the same exchange rather than the next poll.
constexpr std::chrono::milliseconds kAnswerLinger(50);

// Connections at once by default: one per session and these beside them
// (HAProxy, new clients). At the cap the gateway stops accepting; new
// connections wait in the listen backlog.
constexpr size_t kSpareConnections = 256;
// Default timeouts: the request header, from the connection's first byte
// (or its opening); the whole body, from the end of the header; a
// kept-alive connection idle between requests; the drain after SIGTERM.
constexpr int kDefaultHeaderTimeoutSeconds = 10;
constexpr int kDefaultBodyTimeoutSeconds = 60;
constexpr int kDefaultKeepAliveIdleSeconds = 30;
constexpr int kDefaultDrainTimeoutSeconds = 30;
// A reply that the client does not take within this long closes the
// connection.
constexpr std::chrono::seconds kWriteLimit(30);
// After an error reply, the rest of a refused request is read and thrown
// away for at most this long, so the client sees the reply, not a reset.
constexpr std::chrono::seconds kDiscardLimit(2);

// Per client address: sessions open at once, and new sessions per second
// (a burst of as many is allowed).
constexpr int kDefaultClientSessions = 100;
constexpr int kDefaultClientRate = 20;

}  // namespace gateway

#endif
