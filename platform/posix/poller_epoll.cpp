// epoll in select's place: no FD_SETSIZE limit, and a cycle costs what the
// ready sockets cost, not what the watched ones do.
//
// Level-triggered, so a socket stays reported while it is ready, as with
// select. epoll always reports errors and hang-ups, even for a socket that
// asked for nothing, so a socket whose interest falls to 0 leaves the epoll
// set (and comes back when it wants events again).
//
// Interest changes are recorded and reach the kernel in Prepare, at most one
// epoll_ctl per socket per cycle, and none when the interest ends the cycle
// as it began.
//
// The events of one wait are translated under the frame lock through the
// descriptor table: an owner that left the set during the wait, or whose
// descriptor was reused meanwhile (the generation differs), gets nothing.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <unordered_map>

#include "platform/poller.h"
#include "platform/posix/errno_map.h"
#include "vemnet/frame.h"

namespace plat {
namespace {

const size_t kMaxEvents = 30001;   // every watched socket plus the wake-up

class EpollPoller : public Poller {
public:
    EpollPoller() : ep_(epoll_create1(EPOLL_CLOEXEC)), wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        events_.resize(256);
        if (ep_ >= 0 && wake_ >= 0) {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = kWakeTag;
            epoll_ctl(ep_, EPOLL_CTL_ADD, wake_, &ev);
        }
    }

    ~EpollPoller() override {
        if (wake_ >= 0) close(wake_);
        if (ep_ >= 0) close(ep_);
    }

    void Set(void* owner, socket_t s, unsigned mask) override {
        mask &= (EV_READ | EV_WRITE | EV_EXCEPT);
        auto it = owners_.find(owner);
        if (it == owners_.end()) {
            if (s < 0) {
                owners_.emplace(owner, Entry{s, 0, false, 0});
                return;
            }
            it = owners_.emplace(owner, Entry{s, 0, false, ++generation_}).first;
            Claim(s, owner, it->second.generation);
        } else if (it->second.sock != s) {
            Detach(owner, it->second);
            it->second = Entry{s, 0, false, ++generation_};
            if (s >= 0) Claim(s, owner, it->second.generation);
        }
        Entry& e = it->second;
        e.mask = mask;
        if (e.sock < 0) return;
        // The kernel hears of interest changes once per cycle, in Prepare:
        // a write interest added and dropped within one cycle (a reply that
        // went out whole) costs no system call at all.
        if (!e.dirty) {
            e.dirty = true;
            dirty_.push_back(owner);
        }
    }

    void Remove(void* owner) override {
        auto it = owners_.find(owner);
        if (it == owners_.end()) return;
        Detach(owner, it->second);
        owners_.erase(it);
    }

    void Prepare() override {
        for (void* owner : dirty_) {
            auto it = owners_.find(owner);
            if (it != owners_.end() && it->second.dirty) Apply(it->second);
        }
        dirty_.clear();
    }

    int Wait(int64_t timeoutUs, int* error) override {
        int n = WaitKernel(timeoutUs);
        if (n < 0) {
            ready_ = 0;
            if (errno == EINTR) return 0;
            *error = TranslateErrno(errno);
            return -1;
        }
        ready_ = n;
        int sockets = n;
        for (int i = 0; i < n; ++i) {
            if (events_[i].data.u64 == kWakeTag) --sockets;
        }
        return sockets;
    }

    // epoll_pwait2 takes nanoseconds, so a timer's wait ends when it is due
    // and not up to a millisecond later; kernels without it get epoll_wait
    // with the time rounded up, never down.
    int WaitKernel(int64_t timeoutUs) {
        const int max = int(events_.size());
        if (timeoutUs < 0) return epoll_wait(ep_, events_.data(), max, -1);
        if (havePwait2_) {
            timespec ts{time_t(timeoutUs / 1000000), long(timeoutUs % 1000000) * 1000L};
            int n = epoll_pwait2(ep_, events_.data(), max, &ts, nullptr);
            if (n >= 0 || errno != ENOSYS) return n;
            havePwait2_ = false;
        }
        int64_t ms = (timeoutUs + 999) / 1000;
        return epoll_wait(ep_, events_.data(), max, ms > INT32_MAX ? INT32_MAX : int(ms));
    }

    void Collect(std::vector<PollEvent>* out) override {
        ready_list_.clear();
        for (int i = 0; i < ready_; ++i) {
            const epoll_event& ev = events_[i];
            if (ev.data.u64 == kWakeTag) {
                uint64_t v;
                while (read(wake_, &v, sizeof v) > 0) {
                }
                continue;
            }
            int fd = int(uint32_t(ev.data.u64));
            uint32_t gen = uint32_t(ev.data.u64 >> 32);
            if (fd < 0 || size_t(fd) >= byFd_.size()) continue;
            const Slot& slot = byFd_[size_t(fd)];
            if (!slot.owner || slot.generation != gen) continue;
            auto it = owners_.find(slot.owner);
            if (it == owners_.end()) continue;
            unsigned bits = FromEpoll(ev.events, it->second.mask);
            if (bits) ready_list_.push_back(PollEvent{slot.owner, bits});
        }
        // select reports by socket set, and the frame walks its handlers in
        // address order: keep that order.
        std::sort(ready_list_.begin(), ready_list_.end(),
                  [](const PollEvent& a, const PollEvent& b) { return a.owner < b.owner; });
        for (const PollEvent& e : ready_list_) {
            if (e.mask & EV_READ) out->push_back(PollEvent{e.owner, EV_READ});
            if (e.mask & EV_WRITE) out->push_back(PollEvent{e.owner, EV_WRITE});
            if (e.mask & EV_EXCEPT) out->push_back(PollEvent{e.owner, EV_EXCEPT});
        }
        // A full buffer means more may be ready than one wait can return.
        if (size_t(ready_) == events_.size() && events_.size() < kMaxEvents) {
            events_.resize(std::min(kMaxEvents, events_.size() * 2));
        }
        ready_ = 0;
    }

    void Wake() override {
        uint64_t one = 1;
        ssize_t r = write(wake_, &one, sizeof one);
        (void)r;
    }

private:
    static const uint64_t kWakeTag = ~0ull;

    struct Entry {
        socket_t sock;
        unsigned mask;
        bool inEpoll;
        uint32_t generation;
        unsigned applied = 0;
        bool dirty = false;
    };
    struct Slot {
        void* owner;
        uint32_t generation;
    };

    void Apply(Entry& e) {
        e.dirty = false;
        if (e.sock < 0) return;
        unsigned mask = e.mask;
        if (mask == 0) {
            if (e.inEpoll) {
                epoll_ctl(ep_, EPOLL_CTL_DEL, e.sock, nullptr);
                e.inEpoll = false;
            }
            return;
        }
        if (e.inEpoll && e.applied == mask) return;
        epoll_event ev{};
        ev.events = ToEpoll(mask);
        ev.data.u64 = (uint64_t(e.generation) << 32) | uint32_t(e.sock);
        e.applied = mask;
        if (e.inEpoll) {
            if (epoll_ctl(ep_, EPOLL_CTL_MOD, e.sock, &ev) == 0) return;
            e.inEpoll = false;
        }
        if (epoll_ctl(ep_, EPOLL_CTL_ADD, e.sock, &ev) == 0 ||
            (errno == EEXIST && epoll_ctl(ep_, EPOLL_CTL_MOD, e.sock, &ev) == 0)) {
            e.inEpoll = true;
        }
    }

    static uint32_t ToEpoll(unsigned mask) {
        uint32_t ev = 0;
        if (mask & EV_READ) ev |= EPOLLIN;
        if (mask & EV_WRITE) ev |= EPOLLOUT;
        if (mask & EV_EXCEPT) ev |= EPOLLPRI;
        return ev;
    }

    // What select would have said: an error or hang-up makes a socket both
    // readable and writable; a socket that only watches for exceptions (a
    // failed connect on Windows) hears of it in the exception set.
    static unsigned FromEpoll(uint32_t ev, unsigned mask) {
        unsigned bits = 0;
        if (ev & (EPOLLIN | EPOLLERR | EPOLLHUP)) bits |= EV_READ;
        if (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP)) bits |= EV_WRITE;
        if (ev & EPOLLPRI) bits |= EV_EXCEPT;
        if ((ev & (EPOLLERR | EPOLLHUP)) && !(mask & (EV_READ | EV_WRITE))) bits |= EV_EXCEPT;
        return bits & mask;
    }

    void Claim(socket_t s, void* owner, uint32_t gen) {
        if (size_t(s) >= byFd_.size()) byFd_.resize(size_t(s) + 1 + byFd_.size() / 2, Slot{nullptr, 0});
        Slot& slot = byFd_[size_t(s)];
        if (slot.owner && slot.owner != owner) {
            // The descriptor was closed and reused without the old owner
            // leaving; the old entry no longer means anything.
            auto old = owners_.find(slot.owner);
            if (old != owners_.end()) {
                old->second.sock = -1;
                old->second.inEpoll = false;
            }
        }
        slot = Slot{owner, gen};
    }

    void Detach(void* owner, Entry& e) {
        if (e.sock < 0) return;
        if (e.inEpoll) epoll_ctl(ep_, EPOLL_CTL_DEL, e.sock, nullptr);
        e.inEpoll = false;
        if (size_t(e.sock) < byFd_.size() && byFd_[size_t(e.sock)].owner == owner) {
            byFd_[size_t(e.sock)] = Slot{nullptr, 0};
        }
    }

    int ep_;
    int wake_;
    uint32_t generation_ = 0;
    std::unordered_map<void*, Entry> owners_;
    std::vector<Slot> byFd_;
    std::vector<epoll_event> events_;
    int ready_ = 0;
    bool havePwait2_ = true;
    std::vector<PollEvent> ready_list_;
    std::vector<void*> dirty_;
};

}  // namespace

std::unique_ptr<Poller> Poller::Create() { return std::unique_ptr<Poller>(new EpollPoller()); }

}  // namespace plat
