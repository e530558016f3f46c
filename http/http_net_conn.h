// The HTTP connection the host holds: it keeps the host's settings, makes a
// fresh HttpNetContext with its worker thread at every Connect, queues the
// host's messages on it, and passes the context's events to the host.
//
// Threads: the host calls in from its own threads; the Notify operations run
// on the default frame's thread, inside tasks, with the frame's lock held.
// Close clears the context's back reference holding that same lock, so a
// delivery in progress finishes before Close returns, and none starts
// afterwards; as the lock is recursive, Close also works from a callback.
// Connect prepares the new context without any lock and puts it in place,
// and starts its worker, under the frame lock: a Close on another thread
// either comes first (and the Connect starts nothing) or stops the new
// context, and no event of it reaches the host before Connect has returned.
// `context` itself is replaced by Close and Connect (from any thread, a
// callback included) while Send and SetTimeout read it: contextLock guards
// it, held only to copy or swap the reference.
#ifndef VEMNET_HTTP_NET_CONN_H
#define VEMNET_HTTP_NET_CONN_H

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include <boost/shared_ptr.hpp>

#include "vemnet/httpconn.h"

namespace VemNetwork {

class HttpNetContext;

class HttpNetConn : public IHttpConn {
public:
    HttpNetConn();
    ~HttpNetConn() override;

    // INetConn
    int Connect(const WideStringView& host, int port, int timeout, ProxyInfo* proxy) override;
    int Send(const char* data, int length) override;
    int SetTimeout(int milliseconds) override;
    void Close() override;
    bool IsConnected() override;
    void SetCallback(INetConnCallback* callback) override;
    void SetCodec(INetCodec* codec) override;

    // IHttpConn
    void AddParam(const WideStringView& key, const WideStringView& value) override;
    void SetVerb(const WideStringView& verb) override;
    void SetHeaders(const WideStringView& headers) override;
    void SetData(const char* data, int length) override;
    void SetPollInterval(int baseInterval, int maxInterval) override;
    bool SetUrl(const WideStringView& url) override;

    // Called by the context's events on the default frame's thread.
    virtual void NotifyConnect(int result);
    virtual void NotifyError(int code, const char* text);
    virtual void NotifyTimeout();
    virtual int NotifyData(const char* data, int length);
    virtual void NotifySent();
    // The server's stream ended cleanly (extended sessions only).
    virtual void NotifyClose();

    // The frame's poll: an empty message that, unlike the host's, does not
    // wake the worker, so an idle connection keeps its pace.
    int QueuePoll();

    // From the next Connect on: OnConnect(0) only once the server answered
    // a first exchange, made at once; until then a failure reaches the host
    // as OnError. For a connection that races other ways out.
    void ConnectOnAnswer(bool on) { connectOnAnswer = on; }

    // The context of the last Connect (for tests and diagnostics).
    boost::shared_ptr<HttpNetContext> Context() const;
    const std::wstring& Url() const { return url; }
    const std::map<std::wstring, std::wstring>& Params() const { return params; }
    const std::string& Data() const { return data; }

    // The most of one message that goes in one request: its body then stays
    // within 131072 bytes, the most a server of the session protocol reads
    // (the bound its own replies keep to). A larger message is sent in
    // pieces of this size, one exchange each, in order.
    static const int kMessagePiece = 57 * 1680;

private:
    int Queue(const char* data, int length, bool wake);
    void SwapContext(boost::shared_ptr<HttpNetContext>& other);
    // Stops the running context, if any (abandoning its requests when the
    // connection goes away); under the frame lock. The stopped context is
    // left in `old`, to be let go without the lock.
    void StopContext(bool abandon, boost::shared_ptr<HttpNetContext>& old);

    std::atomic<INetConnCallback*> callback;
    std::atomic<INetCodec*> codec;
    std::atomic<bool> connected;
    // Counts Close and Connect calls, under the frame lock: a Connect that
    // finds it changed after preparing its context was closed meanwhile.
    unsigned generation;
    mutable std::mutex contextLock;
    boost::shared_ptr<HttpNetContext> context;   // under contextLock
    std::map<std::wstring, std::wstring> params;
    std::wstring verb;
    std::wstring headers;
    std::string data;
    int baseInterval;
    int maxInterval;
    std::wstring url;
    bool connectOnAnswer = false;
};

}  // namespace VemNetwork

#endif
