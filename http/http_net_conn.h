// The HTTP connection the host holds: it keeps the host's settings, makes a
// fresh HttpNetContext with its worker thread at every Connect, queues the
// host's messages on it, and passes the context's events to the host.
//
// Threads: the host calls in from its own threads; the Notify operations run
// on the default frame's thread, inside tasks, with the frame's lock held.
// Close clears the context's back reference holding that same lock, so a
// delivery in progress finishes before Close returns, and none starts
// afterwards; as the lock is recursive, Close also works from a callback.
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

    // The frame's poll: an empty message that, unlike the host's, does not
    // wake the worker, so an idle connection keeps its pace.
    int QueuePoll();

    // The context of the last Connect (for tests and diagnostics).
    boost::shared_ptr<HttpNetContext> Context() const;
    const std::wstring& Url() const { return url; }
    const std::map<std::wstring, std::wstring>& Params() const { return params; }
    const std::string& Data() const { return data; }

private:
    int Queue(const char* data, int length, bool wake);
    void SwapContext(boost::shared_ptr<HttpNetContext>& other);

    std::atomic<INetConnCallback*> callback;
    std::atomic<INetCodec*> codec;
    std::atomic<bool> connected;
    mutable std::mutex contextLock;
    boost::shared_ptr<HttpNetContext> context;   // under contextLock
    std::map<std::wstring, std::wstring> params;
    std::wstring verb;
    std::wstring headers;
    std::string data;
    int baseInterval;
    int maxInterval;
    std::wstring url;
};

}  // namespace VemNetwork

#endif
