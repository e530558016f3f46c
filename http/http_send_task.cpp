#include "http/http_send_task.h"

namespace VemNetwork {

HttpSendTask::HttpSendTask(const std::wstring& label, const boost::function<void()>& call)
    : function(call), label(label) {}

HttpSendTask::~HttpSendTask() {}

void HttpSendTask::Run() {
    if (function) function();
}

void HttpSendTask::OnError(int, const char*) { delete this; }

}  // namespace VemNetwork
