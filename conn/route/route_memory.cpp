#include "conn/route/route_memory.h"

#include <cwctype>
#include <map>
#include <mutex>

namespace VemNetwork {

namespace {

struct Remembered {
    RouteStep step;
    uint64_t wonAt;
    // When the steps better than `step` were last tried (and failed, or a
    // background try was started).
    uint64_t betterTriedAt;
};

std::mutex g_lock;
std::map<std::wstring, Remembered> g_routes;   // under g_lock

std::wstring Key(const std::wstring& host, int port) {
    std::wstring key = host;
    for (wchar_t& c : key) c = wchar_t(std::towlower(c));
    return key + L":" + std::to_wstring(port);
}

bool Fresh(uint64_t since, uint64_t now) { return now - since < kRouteKeepMicros; }

// Under g_lock: room for one more target.
void MakeRoom(uint64_t now) {
    if (g_routes.size() < kMostRememberedRoutes) return;
    for (auto it = g_routes.begin(); it != g_routes.end();) {
        if (Fresh(it->second.wonAt, now)) ++it;
        else it = g_routes.erase(it);
    }
    while (g_routes.size() >= kMostRememberedRoutes) {
        auto stalest = g_routes.begin();
        for (auto it = g_routes.begin(); it != g_routes.end(); ++it)
            if (it->second.wonAt < stalest->second.wonAt) stalest = it;
        g_routes.erase(stalest);
    }
}

}  // namespace

const wchar_t* RouteStepName(RouteStep step) {
    switch (step) {
    case RouteStep::Direct: return L"direct";
    case RouteStep::Proxy: return L"proxy";
    case RouteStep::Http: return L"http";
    }
    return L"?";
}

RouteRecall RecallRoute(const std::wstring& host, int port, uint64_t now) {
    RouteRecall recall;
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_routes.find(Key(host, port));
    if (it == g_routes.end()) return recall;
    if (!Fresh(it->second.wonAt, now)) {
        g_routes.erase(it);
        return recall;
    }
    recall.start = it->second.step;
    if (recall.start != RouteStep::Direct && !Fresh(it->second.betterTriedAt, now)) {
        recall.probeBetter = true;
        it->second.betterTriedAt = now;
    }
    return recall;
}

void RouteWon(const std::wstring& host, int port, RouteStep step, bool betterFailed, uint64_t now) {
    std::lock_guard<std::mutex> guard(g_lock);
    const std::wstring key = Key(host, port);
    auto it = g_routes.find(key);
    if (it == g_routes.end()) {
        MakeRoom(now);
        g_routes[key] = Remembered{step, now, now};
        return;
    }
    Remembered& r = it->second;
    if (r.step != step || betterFailed) r.betterTriedAt = now;
    r.step = step;
    r.wonAt = now;
}

void RouteProbeWon(const std::wstring& host, int port, RouteStep step, uint64_t now) {
    std::lock_guard<std::mutex> guard(g_lock);
    const std::wstring key = Key(host, port);
    auto it = g_routes.find(key);
    if (it != g_routes.end() && int(it->second.step) <= int(step)) return;
    if (it == g_routes.end()) MakeRoom(now);
    g_routes[key] = Remembered{step, now, now};
}

void ForgetRoutes() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_routes.clear();
}

}  // namespace VemNetwork
