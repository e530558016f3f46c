#include <memory>
#include <string>
#include <vector>

#include "platform/poller.h"
#include "platform/win32/pollers.h"

namespace plat {

std::vector<std::string> Poller::Backends() { return {"afd", "wsapoll", "select"}; }

std::unique_ptr<Poller> Poller::Create(const std::string& backend) {
    if (backend == "afd") return CreateAfdPoller();
    if (backend == "wsapoll") return CreateWsaPollPoller();
    if (backend == "select") return CreateSelectPoller();
    return nullptr;
}

std::unique_ptr<Poller> Poller::Create() {
    std::unique_ptr<Poller> poller = CreateAfdPoller();
    if (!poller) poller = CreateWsaPollPoller();
    return poller ? std::move(poller) : CreateSelectPoller();
}

}  // namespace plat
