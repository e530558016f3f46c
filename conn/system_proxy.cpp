// The system's proxy setting as candidates. WinInet gives it in its list
// form: tokens separated by spaces, each "key=host:port" or "host:port".
// Only the "socks" key means something (a SOCKS4 proxy); every other token
// is taken as an HTTP proxy. The environment gives the entries themselves.
#include "conn/system_proxy.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>

#include "conn/failed_proxies.h"
#include "conn/proxy_bypass.h"
#include "conn/proxy_record.h"
#include "conn/wide_text.h"
#include "logging/logger.h"
#include "platform/platform.h"

namespace VemNetwork {

std::list<ProxyInfo> ParseProxyList(const std::wstring& list) {
    std::list<ProxyInfo> candidates;
    // A token without a port takes the one of the token before it.
    int port = 0;
    size_t pos = 0;
    while (pos < list.size()) {
        if (list[pos] == L' ') {
            ++pos;
            continue;
        }
        size_t end = list.find(L' ', pos);
        if (end == std::wstring::npos) end = list.size();
        std::wstring token = list.substr(pos, end - pos);
        pos = end;

        ProxyInfo entry;
        entry.type = PROXY_HTTP;
        const size_t eq = token.find(L'=');
        if (eq != std::wstring::npos && eq > 0) {
            std::wstring key = token.substr(0, eq);
            for (wchar_t& c : key) c = wchar_t(std::towupper(c));
            if (key == L"SOCKS") entry.type = PROXY_SOCKS4;
            token.erase(0, eq + 1);
        }
        // A key with nothing after it names no proxy.
        if (token.empty()) continue;

        const size_t colon = token.find(L':');
        if (colon != std::wstring::npos) {
            entry.host = TrimBlanks(token.substr(0, colon));
            if (colon + 1 < token.size()) port = int(LeadingDecimal(token.substr(colon + 1)));
        } else {
            port = int(LeadingDecimal(token));
        }
        entry.port = port;
        candidates.push_back(entry);
    }
    return candidates;
}

namespace {

const int kDefaultHttpPort = 80;
const int kDefaultSocksPort = 1080;
const int kLargestPort = 65535;

std::wstring Upper(std::wstring s) {
    for (wchar_t& c : s) c = wchar_t(std::towupper(c));
    return s;
}

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
    if (CurrentSource() == source) kept[target] = KeptAnswer{given, *answer, plat::MicroTicks()};
    return given;
}

std::list<ProxyInfo> StaticCandidates(const std::wstring& target) {
    plat::ProxySetting setting;
    if (!plat::SystemProxySetting(&setting)) return std::list<ProxyInfo>();
    if (BypassesProxy(target, setting.bypass)) return std::list<ProxyInfo>();
    if (setting.entries.empty()) return ParseProxyList(setting.list);
    std::list<ProxyInfo> candidates;
    for (const plat::ProxyEntry& e : setting.entries) {
        ProxyInfo p;
        p.type = e.type;
        p.host = e.host;
        p.port = e.port;
        candidates.push_back(p);
    }
    return candidates;
}

}  // namespace

std::list<ProxyInfo> ParseProxyAnswer(const std::wstring& answer) {
    std::list<ProxyInfo> candidates;
    size_t pos = 0;
    while (pos <= answer.size()) {
        size_t end = answer.find(L';', pos);
        if (end == std::wstring::npos) end = answer.size();
        const std::wstring entry = TrimBlanks(answer.substr(pos, end - pos));
        pos = end + 1;
        if (entry.empty()) continue;
        const size_t blank = entry.find_first_of(L" \t");
        const std::wstring keyword = Upper(entry.substr(0, blank));
        if (keyword == L"DIRECT") {
            candidates.push_back(DirectCandidate());
            continue;
        }
        ProxyInfo p;
        if (keyword == L"PROXY" || keyword == L"HTTP") p.type = PROXY_HTTP;
        else if (keyword == L"SOCKS" || keyword == L"SOCKS4") p.type = PROXY_SOCKS4;
        else if (keyword == L"SOCKS5") p.type = PROXY_SOCKS5;
        else continue;
        if (blank == std::wstring::npos) continue;
        const std::wstring where = TrimBlanks(entry.substr(blank));
        const size_t colon = where.find(L':');
        const std::wstring host = TrimBlanks(where.substr(0, colon));
        p.port = p.type == PROXY_HTTP ? kDefaultHttpPort : kDefaultSocksPort;
        if (colon != std::wstring::npos) {
            const std::wstring digits = TrimBlanks(where.substr(colon + 1));
            if (digits.empty() || digits.size() > 5 || digits.find_first_not_of(L"0123456789") != std::wstring::npos)
                continue;
            const int64_t port = LeadingDecimal(digits);
            if (port < 1 || port > kLargestPort) continue;
            p.port = int(port);
        }
        if (host.empty() || host.find_first_of(L" \t[") != std::wstring::npos) continue;
        p.host = host;
        candidates.push_back(p);
    }
    return candidates;
}

std::wstring DescribeCandidate(const ProxyInfo& candidate) {
    if (IsDirectCandidate(candidate)) return L"DIRECT";
    const wchar_t* kind = L"PROXY";
    if (candidate.type == PROXY_SOCKS4 || candidate.type == PROXY_SOCKS4_ALT) kind = L"SOCKS";
    else if (candidate.type == PROXY_SOCKS5) kind = L"SOCKS5";
    else if (candidate.type != PROXY_HTTP) kind = L"UNKNOWN";
    return std::wstring(kind) + L" " + ToWString(candidate.host) + L":" + std::to_wstring(candidate.port);
}

std::wstring DescribeCandidates(const std::list<ProxyInfo>& candidates) {
    std::wstring text;
    for (const ProxyInfo& c : candidates) text += (text.empty() ? L"" : L"; ") + DescribeCandidate(c);
    return text;
}

void SetProxyAnswerSource(ProxyAnswerSource source) {
    std::lock_guard<std::mutex> g(keptLock);
    answerSource.store(source);
    kept.clear();
    asking.clear();
}

bool HasProxyAnswerSource() { return CurrentSource() != nullptr; }

std::list<ProxyInfo> SystemProxyCandidates(const std::wstring& target) {
    std::list<ProxyInfo> candidates;
    std::wstring answer;
    const ProxyAnswerSource source = CurrentSource();
    if (source && AnswerWithinLimit(source, target, &answer)) candidates = ParseProxyAnswer(answer);
    else candidates = StaticCandidates(target);
    FailedProxies::OfProcess().Reorder(&candidates, plat::MicroTicks());
    return candidates;
}

}  // namespace VemNetwork
