// A bound call carried through a task queue: the HTTP worker's own queue or
// the default frame's.
#ifndef VEMNET_HTTP_SEND_TASK_H
#define VEMNET_HTTP_SEND_TASK_H

#include <string>

#include <boost/function.hpp>

#include "vemnet/frame.h"

namespace VemNetwork {

class HttpSendTask : public INetTask {
public:
    HttpSendTask(const std::wstring& label, const boost::function<void()>& call);
    ~HttpSendTask() override;

    // Calls the bound call; an empty one does nothing.
    void Run() override;
    // The frame calls this instead of deleting a task whose Run threw; the
    // task gives itself back so that the context reference it holds goes.
    void OnError(int code, const char* text) override;

    const std::wstring& Label() const { return label; }

    boost::function<void()> function;
    std::wstring label;   // "senddata", "pushbasetask", "postconnected", ...
};

}  // namespace VemNetwork

#endif
