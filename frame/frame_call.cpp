#include "frame/frame_call.h"

#include <utility>

#include "frame/base_selector.h"

namespace {

class CallTask : public INetTask {
public:
    explicit CallTask(std::function<void()> call) : call_(std::move(call)) {}
    void Run() override { call_(); }
    void OnError(int, const char*) override {}

private:
    std::function<void()> call_;
};

}  // namespace

void RunOnFrame(BaseSelector* frame, std::function<void()> call) {
    frame->AddTask(new CallTask(std::move(call)), 0);
}
