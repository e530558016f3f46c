// The client's side of the session protocol's extension (see
// session_extension.h): the offer, numbered exchanges repeated while their
// answer is lost, the server's stream put back in order, the clean end.
#include <algorithm>
#include <cstring>
#include <new>
#include <memory>
#include <vector>

#include <boost/bind/bind.hpp>

#include "conn/auth/base64.h"
#include "http/http_net_conn.h"
#include "http/http_net_context.h"
#include "http/http_send_task.h"
#include "logging/logger.h"

namespace VemNetwork {
namespace {

// A request whose answer is lost is repeated after a pause that doubles
// from kFirstPauseMs up to kLongestPauseMs, for at most kRepeatWindowMs from
// its first try; then the connection fails with 11.
const int kFirstPauseMs = 50;
const int kLongestPauseMs = 1000;
const uint32_t kRepeatWindowMs = 15000;
// A held poll may take the hold time and this much more.
const int kHoldMarginMs = 10000;

// Statuses that something between the client and the server gives when it
// lost the server's answer, or never got one.
bool FromIntermediary(int status, const std::string& body) {
    return (status == 502 || status == 503 || status == 504) &&
           body.compare(0, std::strlen(session_ext::kErrorPrefix), session_ext::kErrorPrefix) != 0;
}

}  // namespace

size_t HttpNetContext::MessagePiece() const {
    uint32_t most = maxMessage.load();
    return most > 0 ? size_t(most) : size_t(HttpNetConn::kMessagePiece);
}

void HttpNetContext::QueueOutgoing(const std::string& message) {
    std::lock_guard<plat::Lock> guard(taskLock);
    if (tasksFinished) return;
    outbox += message;
    if (outboxQueued) return;
    outboxQueued = true;
    tasks.push_back(new HttpSendTask(L"senddata", boost::bind(&HttpNetContext::SendOutbox, shared_from_this())));
}

void HttpNetContext::SendOutbox() {
    size_t left = 0;
    {
        std::lock_guard<plat::Lock> guard(taskLock);
        left = outbox.size();
    }
    bool sent = true;
    while (left > 0 && sent) {
        std::string piece;
        {
            std::lock_guard<plat::Lock> guard(taskLock);
            size_t n = std::min(std::min(left, MessagePiece()), outbox.size());
            piece = outbox.substr(0, n);
            outbox.erase(0, n);
        }
        left -= std::min(left, piece.size());
        sent = !piece.empty() && NumberedExchange(*client, piece, false);
    }
    std::lock_guard<plat::Lock> guard(taskLock);
    outboxQueued = false;
    if (!sent || outbox.empty() || tasksFinished) return;
    outboxQueued = true;
    tasks.push_back(new HttpSendTask(L"senddata", boost::bind(&HttpNetContext::SendOutbox, shared_from_this())));
}

std::wstring HttpNetContext::HeadersWith(const session_ext::RequestFields& fields) const {
    std::wstring all = headers;
    if (!all.empty() && all.compare(all.size() < 2 ? 0 : all.size() - 2, 2, L"\r\n") != 0) all += L"\r\n";
    return all + plat::FromAnsi(std::string(session_ext::kHeaderName) + ": " + session_ext::FormatRequestFields(fields)) +
           L"\r\n";
}

bool HttpNetContext::TakeOffer(const std::string& body) {
    std::string id;
    session_ext::Offer offer;
    if (!session_ext::ParseOffer(body, &id, &offer)) return false;
    {
        std::lock_guard<plat::Lock> guard(recvLock);
        session = id;
        interval.store(baseInterval);
    }
    holdMs.store(offer.holdMs);
    maxMessage.store(offer.maxMessage);
    extended.store(true);
    LogLine(NamedLogger::HttpNetConn, LOG_LEVEL_INFO, L"http sessionNo=%s (polls held %u ms)",
            plat::FromAnsi(id).c_str(), unsigned(offer.holdMs));
    // A connection that reports its connect after this answer starts the
    // poller after that event, so no data of it comes first.
    if (offer.holdMs > 0 && !connectOnAnswer) StartPoller();
    return true;
}

void HttpNetContext::StartPoller() {
    auto* ref = new (std::nothrow) boost::shared_ptr<HttpNetContext>(shared_from_this());
    if (ref && plat::StartThread(RunPoller, ref)) return;
    delete ref;
    StopWithError(NETCONN_NO_SOCKET, "the poller thread cannot start");
}

uint64_t HttpNetContext::Acknowledged() {
    std::lock_guard<std::mutex> guard(ackLock);
    return acked;
}

void HttpNetContext::MarkAnswered(uint64_t rid) {
    std::lock_guard<std::mutex> guard(ackLock);
    if (rid <= acked) return;
    answered.insert(rid);
    while (!answered.empty() && *answered.begin() == acked + 1) {
        answered.erase(answered.begin());
        ++acked;
    }
}

bool HttpNetContext::NumberedExchange(plat::HttpClient& c, const std::string& message, bool poll) {
    session_ext::RequestFields fields;
    fields.rid = nextRid.fetch_add(1);
    fields.wait = poll;
    const std::string body = BuildRequestBody(session, message);
    const uint32_t started = plat::TickCount();
    int pause = kFirstPauseMs;
    for (;;) {
        if (abandoned.load() || failed.load() || ended.load()) return false;
        std::string why;
        if (OpenHandles(c)) {
            c.SetTimeouts(connectTimeoutMs.load(), sendTimeoutMs.load() + (poll ? int(holdMs.load()) + kHoldMarginMs : 0));
            fields.ack = Acknowledged();
            int error = 0;
            if (!c.Send(HeadersWith(fields), body, &error)) {
                why = FormatCode("send request fail: %d", error);
            } else {
                int status = c.StatusCode();
                std::string reply;
                int read = ReadBody(c, &reply);
                if (read == kReplyTooLong) {
                    StopWithError(NETCONN_EVENT_FAILED, "reply longer than the client reads");
                    return false;
                }
                if (read == kReadFailed) {
                    why = FormatCode("read reply fail after %d bytes", int(reply.size()));
                } else if (status == 200) {
                    MarkAnswered(fields.rid);
                    TakeNumberedReply(reply);
                    return true;
                } else if (!FromIntermediary(status, reply)) {
                    StopWithError(NETCONN_EVENT_HANDSHAKE_FAILED,
                                  FormatCode("auth fail,maybe password not correct: %d", status));
                    return false;
                } else {
                    why = FormatCode("status %d on the way", status);
                }
            }
        } else {
            why = "a handle could not be opened";
        }
        // The answer is lost: the same request again, on a fresh connection,
        // unless the connection is closing (its last messages get one try).
        c.CloseAll();
        if (!running.load()) return false;
        if (plat::TickCount() - started >= kRepeatWindowMs) {
            StopWithError(NETCONN_EVENT_FAILED,
                          FormatCode("no answer to a request within %d ms: ", int(kRepeatWindowMs)) + why);
            return false;
        }
        LogLine(NamedLogger::HttpNetConn, LOG_LEVEL_INFO, L"request %u repeated: %s", unsigned(fields.rid),
                plat::FromAnsi(why).c_str());
        WaitUnlessStopped(pause);
        pause = std::min(2 * pause, kLongestPauseMs);
    }
}

void HttpNetContext::TakeNumberedReply(const std::string& body) {
    session_ext::DataReply reply;
    if (!session_ext::ParseDataReply(body, &reply)) return;
    std::string bytes = Base64DecodeString(body.substr(reply.dataFrom));
    bool done = false;
    {
        std::lock_guard<plat::Lock> guard(recvLock);
        if (reply.end) {
            endKnown = true;
            endAt = reply.at + bytes.size();
        }
        if (bytes.empty()) {
            DoubleInterval();
        } else {
            interval.store(baseInterval);
            if (reply.at + bytes.size() > deliveredAt) parked[reply.at].swap(bytes);
        }
        // Replies in the stream's order, each from where delivery stands.
        while (!parked.empty() && parked.begin()->first <= deliveredAt) {
            auto first = parked.begin();
            uint64_t skip = deliveredAt - first->first;
            if (skip < first->second.size()) {
                StoreReceived(first->second.data() + skip, uint32_t(first->second.size() - skip));
                deliveredAt = first->first + first->second.size();
            }
            parked.erase(first);
        }
        done = endKnown && deliveredAt >= endAt;
    }
    PostPack(false);
    if (done && !ended.exchange(true)) {
        running.store(false);
        Wake();
        PostClosed(false);
    }
}

}  // namespace VemNetwork
