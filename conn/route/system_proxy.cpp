// The system's proxy setting as candidates for one target: the
// auto-configuration's answer when the system has one, else the static
// setting (WinInet's list text, or the environment's entries), with the
// proxies that failed lately last.
#include "conn/route/system_proxy.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "conn/route/failed_proxies.h"
#include "conn/route/proxy_bypass.h"
#include "conn/route/proxy_record.h"
#include "conn/wide_text.h"
#include "logging/logger.h"
#include "platform/platform.h"

namespace VemNetwork {

namespace {

std::atomic<ProxyAnswerSource> answerSource{nullptr};

// The system's own auto-configuration, asked about the target as a web URL.
bool SystemAnswer(const std::wstring& target, std::wstring* answer) {
    return plat::ProxyAutoConfigAnswer(L"http://" + target + L"/", answer);
}

// The source set by SetProxyAnswerSource, else the system's when it is set
// to auto-configure; null when there is none.
ProxyAnswerSource CurrentSource() {
    const ProxyAnswerSource set = answerSource.load();
    if (set) return set;
    return plat::ProxyAutoConfigured() ? SystemAnswer : nullptr;
}

// One question to a source about one target; the thread that asks may
// outlive every wait for it (a script server that never answers).
struct Question {
    ProxyAnswerSource source;
    std::wstring target;
    uint64_t askedAt;
    std::mutex lock;
    std::condition_variable answered;
    bool done = false;
    bool given = false;
    std::wstring answer;
};

// Answers by target host: whether there was one, and when it came; and the
// questions still out, which later askers of the same target wait for
// rather than ask again.
struct KeptAnswer {
    bool given;
    std::wstring answer;
    uint64_t at;
};
std::mutex keptLock;
std::map<std::wstring, KeptAnswer> kept;
std::map<std::wstring, std::shared_ptr<Question>> asking;

void AskSource(void* arg) {
    std::shared_ptr<Question> q(*static_cast<std::shared_ptr<Question>*>(arg));
    delete static_cast<std::shared_ptr<Question>*>(arg);
    std::wstring answer;
    const bool given = q->source(q->target, &answer);
    {
        std::lock_guard<std::mutex> g(q->lock);
        q->given = given;
        q->answer = answer;
        q->done = true;
        q->answered.notify_all();
    }
    std::lock_guard<std::mutex> g(keptLock);
    auto it = asking.find(q->target);
    if (it != asking.end() && it->second == q) asking.erase(it);
}

// The question about target that is out, or a new one; null when too many
// are out already (a source that hangs costs a thread per question).
std::shared_ptr<Question> QuestionFor(ProxyAnswerSource source, const std::wstring& target) {
    std::lock_guard<std::mutex> g(keptLock);
    auto it = asking.find(target);
    if (it != asking.end() && it->second->source == source) return it->second;
    if (asking.size() >= kMostOpenProxyQuestions) return nullptr;
    auto q = std::make_shared<Question>();
    q->source = source;
    q->target = target;
    q->askedAt = plat::MicroTicks();
    auto* handle = new std::shared_ptr<Question>(q);
    if (!plat::StartThread(AskSource, handle)) {
        delete handle;
        return nullptr;
    }
    asking[target] = q;
    return q;
}

// The source's answer for target within the limit; false without one.
bool AnswerWithinLimit(ProxyAnswerSource source, const std::wstring& target, std::wstring* answer) {
    {
        std::lock_guard<std::mutex> g(keptLock);
        auto it = kept.find(target);
        if (it != kept.end() && plat::MicroTicks() - it->second.at < kProxyAnswerKeepMicros) {
            *answer = it->second.answer;
            return it->second.given;
        }
    }
    std::shared_ptr<Question> q = QuestionFor(source, target);
    bool given = false;
    if (q) {
        // The limit counts from the question, so a hung one costs its
        // later askers no more than what remains of it.
        const uint64_t deadline = q->askedAt + uint64_t(kProxyAnswerLimitMs) * 1000;
        const uint64_t now = plat::MicroTicks();
        const auto left = std::chrono::microseconds(deadline > now ? deadline - now : 0);
        std::unique_lock<std::mutex> l(q->lock);
        if (q->answered.wait_for(l, left, [&] { return q->done; })) {
            given = q->given;
            *answer = q->answer;
        } else {
            q.reset();
        }
    }
    if (!q) {
        LogLine(NamedLogger::TcpNetConn, LOG_LEVEL_ERROR,
                L"proxy auto-config gave no answer for %s within %d ms: using the static setting",
                target.c_str(), kProxyAnswerLimitMs);
    }
    std::lock_guard<std::mutex> g(keptLock);
    // Not kept when SetProxyAnswerSource replaced the source meanwhile.
    if (answerSource.load() == (source == SystemAnswer ? nullptr : source))
        kept[target] = KeptAnswer{given, *answer, plat::MicroTicks()};
    return given;
}

std::list<ProxyInfo> StaticCandidates(const std::wstring& target, int port) {
    plat::ProxySetting setting;
    if (!plat::SystemProxySetting(&setting)) return std::list<ProxyInfo>();
    if (BypassesProxy(target, setting.bypass, port)) return std::list<ProxyInfo>();
    if (setting.entries.empty()) return ParseProxyList(setting.list);
    std::list<ProxyInfo> candidates;
    for (const plat::ProxyEntry& e : setting.entries) {
        ProxyInfo p;
        p.type = e.type;
        p.host = e.host;
        p.port = e.port;
        p.user = e.user;
        p.password = e.password;
        candidates.push_back(p);
    }
    return candidates;
}

}  // namespace

void SetProxyAnswerSource(ProxyAnswerSource source) {
    std::lock_guard<std::mutex> g(keptLock);
    answerSource.store(source);
    kept.clear();
    asking.clear();
}

bool HasProxyAnswerSource() { return CurrentSource() != nullptr; }

std::list<ProxyInfo> SystemProxyCandidates(const std::wstring& target, int port) {
    std::list<ProxyInfo> candidates;
    std::wstring answer;
    const ProxyAnswerSource source = CurrentSource();
    if (source && AnswerWithinLimit(source, target, &answer)) candidates = ParseProxyAnswer(answer);
    else candidates = StaticCandidates(target, port);
    FailedProxies::OfProcess().Reorder(&candidates, plat::MicroTicks());
    return candidates;
}

}  // namespace VemNetwork
