// The record of one HTTP session: the settings copied from the connection at
// Connect, the session identifier the server assigned, the bytes received
// for the host, the queue of messages for the worker and the poll pacing.
//
// Owners: the connection, the worker thread and every queued task each hold
// a boost::shared_ptr; the record goes when the last of them lets go, on
// the worker's or on the default frame's thread.
//
// Threads and locks:
//   host threads   Connect fills the settings before the worker starts;
//                  Send pushes onto `tasks` and wakes the worker; Close
//                  clears `running` and `conn` (holding the default frame's
//                  lock).
//   worker         pops `tasks`, runs the exchanges, posts events.
//   default frame  runs the posted events and calls the connection.
//   Lock order, where nested: recvLock, then taskLock, then the frame's
//   task queue lock.
#ifndef VEMNET_HTTP_NET_CONTEXT_H
#define VEMNET_HTTP_NET_CONTEXT_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include "http/session_extension.h"
#include "http/url_parts.h"
#include "platform/http_client.h"
#include "platform/platform.h"
#include "sockets/block_buffer.h"
#include "vemnet/netconn.h"

namespace VemNetwork {

class HttpNetConn;
class HttpSendTask;

// What a 200 reply body asks for (see HttpNetContext::SendRequest).
enum class ReplyKind {
    Ignore,        // shorter than 5 bytes: nothing changes
    Empty,         // nothing for the host: the poll interval doubles
    Data,          // "data=" and Base64 for the host
    Session,       // "session=" and a new identifier
};
ReplyKind ClassifyReply(const char* body, uint32_t length);

// A log or error text with one number in it.
std::string FormatCode(const char* format, int value);

// The request body of one exchange:
//
//   +------------+---------+-----+---------+------------------------------+
//   | "session=" | session | "&" | "data=" | Base64 of the message        |
//   +------------+---------+-----+---------+------------------------------+
//
// Nothing is escaped. The Base64 text breaks its line with "\r\n" after
// every 76 characters of the complete 3-byte groups; the padded last group
// follows without a break.
std::string BuildRequestBody(const std::string& session, const std::string& message);

class HttpNetContext : public boost::enable_shared_from_this<HttpNetContext> {
public:
    HttpNetContext();
    virtual ~HttpNetContext();
    HttpNetContext(const HttpNetContext&) = delete;
    HttpNetContext& operator=(const HttpNetContext&) = delete;

    // Re-arms the watchdog to fire ms milliseconds from now; returns 0.
    virtual int SetTimeout(int ms);
    virtual void SetVerb(const std::wstring& verb);
    // The form's content type always comes first.
    virtual void SetHeaders(const std::wstring& extra);
    // The current interval is left as it is.
    virtual void SetPollInterval(int baseMs, int maxMs);
    // Splits url, trying again with "http://" in front when no scheme was
    // recognised; false when neither splits.
    virtual bool SetUrl(const std::wstring& url);

    // Closes the client (request, connection, session) and forgets the
    // session identifier.
    void ResetSession();
    // The connection is gone: the exchange under way is cut off (from any
    // thread) and nothing queued is sent any more.
    void Abandon();
    // Cuts off the poller's held poll (from any thread); the host's last
    // messages still go out on the worker's client.
    void StopPolling();
    // Whether the HTTP client can speak to the proxy the record names.
    bool ProxySupported() const;

    // ---- worker queue ----
    void PushTask(const std::wstring& label, const boost::function<void()>& call);
    // The oldest task, or null. The caller owns it.
    HttpSendTask* PopTask();
    size_t TaskCount();
    // Marks the queue finished when it is empty: later pushes are dropped, so
    // that no task (each holding a reference to this record) stays behind
    // once the worker is gone. Returns null in that case, else the oldest task.
    HttpSendTask* PopTaskOrFinish();

    // ---- worker pacing ----
    // Ends the worker's current (or next) sleep: a message of the host's is
    // waiting. The frame's poll does not wake, so idle polls keep their pace.
    void Wake();
    // Sleeps ms milliseconds, or less when Wake comes meanwhile.
    void SleepUnlessWoken(int ms);
    // Sleeps ms milliseconds, or less when the context stops meanwhile.
    void WaitUnlessStopped(int ms);
    // Sleeps up to ms milliseconds while more than most received bytes wait
    // beyond the receive buffer's room (ends early when the host took them
    // or the context stops).
    void WaitForRoom(size_t most, int ms);
    void ClearWake();
    // True while received data waits beyond the receive buffer's room: the
    // worker makes no exchange until the host has consumed enough.
    bool HoldingBack() const;

    // ---- events to the host ----
    // Queues call on the default frame; dropped when there is none.
    void PostToFrame(const std::wstring& label, const boost::function<void()>& call);
    void PushBaseTask();
    void PostConnected(int result, bool direct);
    void PostTimeout(bool direct);
    void PostError(int code, const std::string& text, bool direct);
    // Stops the worker, then posts the error: a host that calls Send from
    // its OnError is refused already. Messages still queued are not sent.
    void StopWithError(int code, const std::string& text);
    // The worker's start when the connection counts as made by the server's
    // answer: the first exchange at once, then OnConnect(0) and the poller,
    // or the failure (stopping the worker) when no session was opened.
    void OpenSessionFirst();
    // A handle that could not be opened: reported once per worker cycle.
    void ReportOpenFailure(const std::string& text);
    void PostPack(bool direct);
    void PostSended(bool direct);
    // The server's stream ended cleanly: the host gets OnClose after the
    // data posted before it.
    void PostClosed(bool direct);
    // Under recvLock: appends received bytes behind those waiting, into
    // recvBuffer while it has room, the rest to the surplus.
    void StoreReceived(const char* bytes, uint32_t length);
    // Under recvLock: moves what fits of the surplus into recvBuffer; false
    // when nothing moved.
    bool RefillFromSurplus();

    // One exchange with the server (pieces of a long message, one exchange
    // each, once the extension is in use); worker thread only.
    void SendRequest(const std::string& message);

    // ---- the session protocol's extension ----
    // One numbered exchange on client c (the worker's or the poller's),
    // repeated with the same number while its answer is lost; false when
    // it failed for good (reported) or the context stopped.
    bool NumberedExchange(plat::HttpClient& c, const std::string& message, bool poll);
    // Queues a message of the host's on an extended session: messages queued
    // back to back go out together, up to MessagePiece() a request (the
    // server relays a stream, not messages).
    void QueueOutgoing(const std::string& message);
    // Whether the server's offer made a poller thread hold polls.
    bool HoldsPolls() const { return extended.load() && holdMs.load() > 0; }
    // The most message bytes one request carries.
    size_t MessagePiece() const;

    // The poll interval after a reply with nothing for the host; saturates
    // instead of overflowing when many empty replies come in one cycle.
    void DoubleInterval();
    // True when the watchdog is armed and now is past it, across the wrap of
    // the 32-bit tick count.
    bool DeadlinePassed(uint32_t now) const;
    // Arms the watchdog at tick `at` (0 is the disarmed value, so 1 stands in).
    void ArmDeadline(uint32_t at) { deadline.store(at == 0 ? 1u : at); }

    // The time limits of one exchange, in ms. 10000 each; tests shorten them.
    static std::atomic<int> connectTimeoutMs;
    static std::atomic<int> sendTimeoutMs;

    std::atomic<bool> running;
    // Set with running = false by a failure that stops the worker.
    std::atomic<bool> failed;
    // Set by Abandon.
    std::atomic<bool> abandoned;
    // Worker only: an open failure was reported in this cycle.
    bool openFailureReported;
    std::mutex wakeLock;
    std::condition_variable wakeSignal;
    bool wakeRequested;   // under wakeLock
    plat::Lock taskLock;
    std::deque<HttpSendTask*> tasks;
    bool tasksFinished;   // under taskLock
    std::atomic<HttpNetConn*> conn;
    // Session, connection and request; made with the record and kept to its
    // end, so that Abandon may reach it from another thread.
    const std::unique_ptr<plat::HttpClient> client;
    plat::Lock recvLock;
    SmallBlockBuffer recvBuffer;
    // Decoded bytes that arrived while recvBuffer was full, oldest first,
    // from surplusFrom on; moved into recvBuffer as the host consumes. Under
    // recvLock.
    std::string surplus;
    size_t surplusFrom = 0;
    // The bytes waiting in surplus; written under recvLock, read without it
    // (a wait holding wakeLock must not take recvLock: a host callback
    // made under recvLock may call Send, which takes wakeLock).
    std::atomic<size_t> surplusBytes{0};
    std::wstring host;
    int port;
    std::atomic<uint32_t> deadline;
    ProxyInfo proxy;
    std::wstring verb;
    std::wstring headers;
    int baseInterval;
    int maxInterval;
    std::atomic<int> interval;
    UrlParts url;
    std::string session;
    // Set before the worker starts: the connection counts as made once the
    // server answered the first exchange (opened at once), not when the
    // worker starts; the poller starts after that event.
    bool connectOnAnswer = false;

    // The extension, once the server offered it (set by the worker before
    // the poller starts).
    std::atomic<bool> extended;
    std::atomic<uint32_t> holdMs;
    std::atomic<uint32_t> maxMessage;
    // Set once the server's stream ended cleanly; closeDelivered once the
    // host got OnClose (nothing but data comes after it).
    std::atomic<bool> ended;
    std::atomic<bool> closeDelivered;
    // The poller's own client: a held poll never waits behind a message.
    const std::unique_ptr<plat::HttpClient> pollClient;

private:
    // Opens what is not open yet of c (session, connection, request); false
    // after reporting the failure.
    bool OpenHandles(plat::HttpClient& c);
    // Reads the whole reply body: 0, or kReadFailed / kReplyTooLong.
    enum { kReadFailed = -1, kReplyTooLong = -2 };
    int ReadBody(plat::HttpClient& c, std::string* reply);
    // Takes the server's offer from a first reply; false for a plain one.
    bool TakeOffer(const std::string& body);
    void StartPoller();
    // Stores the bytes of an extended data reply in the order of the
    // server's stream, whichever request brought them.
    void TakeNumberedReply(const std::string& body);
    // The replies to every number up to the result have arrived.
    uint64_t Acknowledged();
    void MarkAnswered(uint64_t rid);
    std::wstring HeadersWith(const session_ext::RequestFields& fields) const;
    // The task QueueOutgoing queues: sends what the outbox held when it
    // began, and queues itself again for what came meanwhile.
    void SendOutbox();

    std::string outbox;        // under taskLock
    bool outboxQueued;         // under taskLock: a SendOutbox task waits

    std::atomic<uint64_t> nextRid;
    std::mutex ackLock;
    uint64_t acked;                  // under ackLock
    std::set<uint64_t> answered;     // under ackLock: numbers above acked
    // Under recvLock: the stream offset delivered so far, replies that came
    // ahead of their turn, and where the stream ends once known.
    uint64_t deliveredAt;
    std::map<uint64_t, std::string> parked;
    bool endKnown;
    uint64_t endAt;
};

// The worker thread's body; arg is a heap-allocated
// boost::shared_ptr<HttpNetContext> that the worker deletes.
void RunWorker(void* arg);
// The poller thread's body (extended sessions with held polls), same arg.
void RunPoller(void* arg);

}  // namespace VemNetwork

#endif
