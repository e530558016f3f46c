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
//
// The wake-up eventfd and the timerfd are edge-triggered and never read:
// each write or expiry is one edge, so a wake-up costs the waker one write
// (none while an earlier one is still unseen) and the frame no system call.
//
// A timed wait ends by the timerfd, armed at an absolute time, rather than
// by epoll's own timeout, which the kernel lets run late by the thread's
// timer slack (50 us by default). The timerfd is re-armed only when a wait
// must end before it: a frame whose waits are bounded by its own timeout,
// always some way off, re-arms it once per timeout, not once per cycle. An
// expiry before the wait's own end is not reported: the wait goes on.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <string>
#include <unordered_map>

#include "platform/poller.h"
#include "platform/posix/errno_map.h"
#include "vemnet/frame.h"

namespace plat {
namespace {

const size_t kMaxEvents = 30002;   // every watched socket, the wake-up and the timerfd

class EpollPoller : public Poller {
public:
    EpollPoller()
        : ep_(epoll_create1(EPOLL_CLOEXEC)),
          wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
          alarm_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)) {
        events_.resize(256);
        if (ep_ >= 0 && wake_ >= 0) {
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLET;
            ev.data.u64 = kWakeTag;
            epoll_ctl(ep_, EPOLL_CTL_ADD, wake_, &ev);
        }
        if (ep_ >= 0 && alarm_ >= 0) {
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLET;
            ev.data.u64 = kAlarmTag;
            if (epoll_ctl(ep_, EPOLL_CTL_ADD, alarm_, &ev) != 0) {
                close(alarm_);
                alarm_ = -1;
            }
        }
    }

    ~EpollPoller() override {
        if (alarm_ >= 0) close(alarm_);
        if (wake_ >= 0) close(wake_);
        if (ep_ >= 0) close(ep_);
    }

    void Set(void* owner, socket_t s, unsigned mask) override {
        Slot* slot = SlotOf(owner, s);
        if (!slot) return;
        slot->mask = mask & (EV_READ | EV_WRITE | EV_EXCEPT);
        // The kernel hears of interest changes once per cycle, in Prepare:
        // a write interest added and dropped within one cycle (a reply that
        // went out whole) costs no system call at all.
        if (!slot->dirty) {
            slot->dirty = true;
            dirty_.push_back(s);
        }
    }

    void Remove(void* owner) override {
        auto it = owners_.find(owner);
        if (it == owners_.end()) return;
        Detach(owner, it->second);
        owners_.erase(it);
    }

    void Prepare() override {
        for (socket_t fd : dirty_) {
            Slot& slot = byFd_[size_t(fd)];
            if (slot.owner && slot.dirty) Apply(fd, slot);
        }
        dirty_.clear();
    }

    int Wait(int64_t timeoutUs, int* error) override {
        int sockets = alarm_ >= 0 ? WaitWithAlarm(timeoutUs) : Count(WaitKernel(timeoutUs));
        if (sockets < 0) {
            ready_ = 0;
            if (errno == EINTR) return 0;
            *error = TranslateErrno(errno);
            return -1;
        }
        return sockets;
    }

    // One wait, bounded by the timerfd; returns the ready sockets (-1 with
    // errno on failure) and leaves the events in events_[0, ready_).
    int WaitWithAlarm(int64_t timeoutUs) {
        const int max = int(events_.size());
        if (timeoutUs == 0) return Count(epoll_wait(ep_, events_.data(), max, 0));
        int64_t due = -1;
        if (timeoutUs > 0) {
            due = MonotonicNs() + timeoutUs * 1000;
            if (!ArmAlarm(due)) return Count(WaitKernel(timeoutUs));
        }
        for (;;) {
            int n = epoll_wait(ep_, events_.data(), max, -1);
            if (n < 0) return n;
            bool alarm = false, woken = false;
            int sockets = Count(n, &alarm, &woken);
            if (alarm) alarmDue_ = -1;   // spent
            if (sockets > 0 || woken) return sockets;
            if (!alarm) continue;
            // The timerfd was set for an earlier wait, or rang a moment
            // early for the clock's reading: the wait goes on to its end.
            if (due < 0) continue;
            if (MonotonicNs() >= due) return 0;
            if (!ArmAlarm(due)) return Count(WaitKernel((due - MonotonicNs() + 999) / 1000));
        }
    }

    // Arms the timerfd for due (CLOCK_MONOTONIC nanoseconds) unless it is
    // armed for an earlier time still to come.
    bool ArmAlarm(int64_t due) {
        if (alarmDue_ >= 0 && alarmDue_ <= due && alarmDue_ > MonotonicNs()) return true;
        itimerspec it{};
        it.it_value.tv_sec = time_t(due / 1000000000);
        it.it_value.tv_nsec = long(due % 1000000000);
        if (timerfd_settime(alarm_, TFD_TIMER_ABSTIME, &it, nullptr) != 0) return false;
        alarmDue_ = due;
        return true;
    }

    static int64_t MonotonicNs() {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    }

    // Records n events of a wait; returns the ready sockets among them (n
    // itself when negative), and whether the timerfd or the wake-up rang.
    int Count(int n, bool* alarm = nullptr, bool* woken = nullptr) {
        if (n < 0) {
            ready_ = 0;
            return n;
        }
        ready_ = n;
        int sockets = n;
        for (int i = 0; i < n; ++i) {
            uint64_t tag = events_[i].data.u64;
            if (tag == kWakeTag) {
                wakeSeen_ = true;
                if (woken) *woken = true;
                --sockets;
            } else if (tag == kAlarmTag) {
                if (alarm) *alarm = true;
                --sockets;
            }
        }
        return sockets;
    }

    // epoll_pwait2 takes nanoseconds, so a timer's wait ends when it is due
    // and not up to a millisecond later; kernels without it get epoll_wait
    // with the time rounded up, never down. Where the timerfd fails.
    int WaitKernel(int64_t timeoutUs) {
        const int max = int(events_.size());
        int n;
        if (timeoutUs < 0) {
            n = epoll_wait(ep_, events_.data(), max, -1);
        } else {
            n = -1;
            if (havePwait2_) {
                timespec ts{time_t(timeoutUs / 1000000), long(timeoutUs % 1000000) * 1000L};
                n = epoll_pwait2(ep_, events_.data(), max, &ts, nullptr);
                if (n < 0 && errno == ENOSYS) havePwait2_ = false;
            }
            if (!havePwait2_) {
                int64_t ms = (timeoutUs + 999) / 1000;
                n = epoll_wait(ep_, events_.data(), max, ms > INT32_MAX ? INT32_MAX : int(ms));
            }
        }
        return n;
    }

    void Collect(std::vector<PollEvent>* out) override {
        if (wakeSeen_) {
            wakeSeen_ = false;
            wakePending_.store(false, std::memory_order_release);
        }
        ready_list_.clear();
        for (int i = 0; i < ready_; ++i) {
            const epoll_event& ev = events_[i];
            if (ev.data.u64 == kWakeTag || ev.data.u64 == kAlarmTag) continue;
            int fd = int(uint32_t(ev.data.u64));
            uint32_t gen = uint32_t(ev.data.u64 >> 32);
            if (fd < 0 || size_t(fd) >= byFd_.size()) continue;
            const Slot& slot = byFd_[size_t(fd)];
            if (!slot.owner || slot.generation != gen) continue;
            unsigned bits = FromEpoll(ev.events, slot.mask);
            if (bits) ready_list_.push_back(PollEvent{slot.owner, bits});
        }
        AppendInOwnerOrder(&ready_list_, out);
        // A full buffer means more may be ready than one wait can return.
        if (size_t(ready_) == events_.size() && events_.size() < kMaxEvents) {
            events_.resize(std::min(kMaxEvents, events_.size() * 2));
        }
        ready_ = 0;
    }

    // One write stands for every Wake until a wait has seen it (Collect):
    // wakes that come after the wait ended and before Collect are the same
    // wake-up, not a new one for the next wait.
    void Wake() override {
        if (wakePending_.exchange(true, std::memory_order_acq_rel)) return;
        uint64_t one = 1;
        ssize_t r = write(wake_, &one, sizeof one);
        (void)r;
    }

private:
    static const uint64_t kWakeTag = ~0ull;
    static const uint64_t kAlarmTag = ~0ull - 1;

    // What the poller knows of one descriptor, found by its number: the
    // events of a wait and the interest changes of a connected socket need
    // no lookup by owner.
    struct Slot {
        void* owner = nullptr;
        uint32_t generation = 0;
        unsigned mask = 0;      // the owner's interest
        unsigned applied = 0;   // the interest the kernel has
        bool inEpoll = false;
        bool dirty = false;     // in dirty_, for Prepare
    };

    // owner's slot for descriptor s, claiming it when the owner is new or
    // has changed descriptors; null when s is none.
    Slot* SlotOf(void* owner, socket_t s) {
        if (s >= 0 && size_t(s) < byFd_.size() && byFd_[size_t(s)].owner == owner) return &byFd_[size_t(s)];
        auto it = owners_.find(owner);
        if (it == owners_.end()) {
            it = owners_.emplace(owner, socket_t(-1)).first;
        } else if (it->second >= 0) {
            Detach(owner, it->second);
        }
        it->second = s;
        if (s < 0) return nullptr;
        Claim(s, owner, ++generation_);
        return &byFd_[size_t(s)];
    }

    void Apply(socket_t fd, Slot& e) {
        e.dirty = false;
        unsigned mask = e.mask;
        if (mask == 0) {
            if (e.inEpoll) {
                epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
                e.inEpoll = false;
            }
            return;
        }
        if (e.inEpoll && e.applied == mask) return;
        epoll_event ev{};
        ev.events = ToEpoll(mask);
        ev.data.u64 = (uint64_t(e.generation) << 32) | uint32_t(fd);
        e.applied = mask;
        if (e.inEpoll) {
            if (epoll_ctl(ep_, EPOLL_CTL_MOD, fd, &ev) == 0) return;
            e.inEpoll = false;
        }
        if (epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev) == 0 ||
            (errno == EEXIST && epoll_ctl(ep_, EPOLL_CTL_MOD, fd, &ev) == 0)) {
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
        if (size_t(s) >= byFd_.size()) byFd_.resize(size_t(s) + 1 + byFd_.size() / 2);
        Slot& slot = byFd_[size_t(s)];
        if (slot.owner && slot.owner != owner) {
            // The descriptor was closed and reused without the old owner
            // leaving; the old owner no longer has one.
            auto old = owners_.find(slot.owner);
            if (old != owners_.end()) old->second = -1;
        }
        slot = Slot();
        slot.owner = owner;
        slot.generation = gen;
    }

    void Detach(void* owner, socket_t s) {
        if (s < 0 || size_t(s) >= byFd_.size()) return;
        Slot& slot = byFd_[size_t(s)];
        if (slot.owner != owner) return;
        if (slot.inEpoll) epoll_ctl(ep_, EPOLL_CTL_DEL, s, nullptr);
        slot = Slot();
    }

    int ep_;
    int wake_;
    int alarm_;
    int64_t alarmDue_ = -1;   // the timerfd's time while armed, else -1
    bool wakeSeen_ = false;                   // a wait saw the wake-up; Collect clears
    std::atomic<bool> wakePending_{false};   // written and not yet seen
    uint32_t generation_ = 0;
    std::unordered_map<void*, socket_t> owners_;   // each owner's descriptor, -1 for none
    std::vector<Slot> byFd_;
    std::vector<epoll_event> events_;
    int ready_ = 0;
    bool havePwait2_ = true;
    std::vector<PollEvent> ready_list_;
    std::vector<socket_t> dirty_;
};

}  // namespace

std::unique_ptr<Poller> Poller::Create() { return std::unique_ptr<Poller>(new EpollPoller()); }

std::vector<std::string> Poller::Backends() { return {"epoll"}; }

std::unique_ptr<Poller> Poller::Create(const std::string& backend) {
    return backend == "epoll" ? Create() : nullptr;
}

}  // namespace plat
