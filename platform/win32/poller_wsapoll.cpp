// WSAPoll in select's place: the array of watched sockets is kept from cycle
// to cycle and changed only where an interest changed, so a cycle no longer
// copies every registered socket into three sets and walks the handler set
// to find the ready ones; the wait returns only the count of ready sockets,
// and Collect picks them out of the array without any lookup for the idle
// ones.
//
// Interest changes are recorded and applied to the array in Prepare, under
// the frame lock: the wait runs without it, and the array must not change
// under WSAPoll. An owner that left or changed its interest after the wait
// gets only what it still watches, as with select.
//
// A failed connect shows as POLLHUP/POLLERR; Windows releases before
// Windows 10 version 2004 never reported it, and a connecting socket then
// ends by its connect timer.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/poller.h"
#include "platform/win32/pollers.h"
#include "platform/win32/wake_datagram.h"
#include "vemnet/frame.h"

namespace plat {

namespace {

typedef int(WSAAPI* WsaPollFn)(WSAPOLLFD*, ULONG, INT);

// Taken at run time, so that the library still loads where ws2_32 lacks it.
WsaPollFn FindWsaPoll() {
    HMODULE ws2 = GetModuleHandleW(L"ws2_32.dll");
    if (!ws2) return nullptr;
    return reinterpret_cast<WsaPollFn>(reinterpret_cast<void*>(GetProcAddress(ws2, "WSAPoll")));
}

const int kIdleWaitMs = 100;

class WsaPollPoller : public Poller {
public:
    explicit WsaPollPoller(WsaPollFn poll) : poll_(poll) {}

    void Set(void* owner, socket_t s, unsigned mask) override {
        mask &= (EV_READ | EV_WRITE | EV_EXCEPT);
        Entry& e = owners_[owner];
        e.sock = static_cast<SOCKET>(s);
        e.mask = mask;
        if (!e.dirty) {
            e.dirty = true;
            dirty_.push_back(owner);
        }
    }

    void Remove(void* owner) override {
        auto it = owners_.find(owner);
        if (it == owners_.end()) return;
        bool queued = it->second.dirty;
        owners_.erase(it);
        if (!queued) dirty_.push_back(owner);
    }

    void Prepare() override {
        for (void* owner : dirty_) Apply(owner);
        dirty_.clear();
        wake_ = wakeDatagram_.Socket();
        if (fds_.empty() || fds_[0].fd != wake_) {
            // Slot 0 is the wake socket's once it exists.
            if (wake_ != INVALID_SOCKET) {
                fds_.insert(fds_.begin(), WSAPOLLFD{wake_, POLLRDNORM, 0});
                slotOwners_.insert(slotOwners_.begin(), nullptr);
                for (size_t i = 1; i < slotOwners_.size(); ++i) slots_[slotOwners_[i]] = i;
            }
        }
    }

    int Wait(int64_t timeoutUs, int* error) override {
        ready_ = 0;
        const size_t first = HasWakeSlot() ? 0 : 1;
        // With nothing of the owners' to watch, a wait without limit would
        // last until a Wake; a bounded one keeps queued tasks and Stop going.
        if (timeoutUs < 0 && fds_.size() <= 1) timeoutUs = int64_t(kIdleWaitMs) * 1000;
        const int timeoutMs = timeoutUs < 0 ? -1 : int((timeoutUs + 999) / 1000);
        if (fds_.size() <= first) {
            // WSAPoll refuses an empty array (WSAEINVAL, as select refuses
            // three empty sets): the wait becomes a sleep.
            Sleep(static_cast<DWORD>(timeoutMs));
            return 0;
        }
        for (WSAPOLLFD& f : fds_) f.revents = 0;
        int n = poll_(fds_.data() + first, ULONG(fds_.size() - first), timeoutMs);
        if (n < 0) {
            if (error) *error = WSAGetLastError();
            return -1;
        }
        ready_ = n;
        if (n > 0 && first == 0 && fds_[0].revents) {
            wakeReady_ = true;
            --n;
        }
        return n;
    }

    void Collect(std::vector<PollEvent>* events) override {
        if (wakeReady_) {
            wakeReady_ = false;
            wakeDatagram_.Consume();
        }
        int left = ready_;
        ready_ = 0;
        readyList_.clear();
        const size_t first = HasWakeSlot() ? 1 : 0;
        if (first == 1 && fds_[0].revents) --left;
        for (size_t i = first; i < fds_.size() && left > 0; ++i) {
            const WSAPOLLFD& f = fds_[i];
            if (!f.revents) continue;
            --left;
            void* owner = slotOwners_[i];
            auto it = owners_.find(owner);
            // Gone, or moved to another socket, since the wait.
            if (it == owners_.end() || it->second.sock != f.fd) continue;
            unsigned bits = FromPoll(f.revents, it->second.mask);
            if (bits) readyList_.push_back(PollEvent{owner, bits});
        }
        AppendInOwnerOrder(&readyList_, events);
    }

    void Wake() override { wakeDatagram_.Wake(); }

private:
    struct Entry {
        SOCKET sock = INVALID_SOCKET;
        unsigned mask = 0;
        bool dirty = false;
    };

    bool HasWakeSlot() const { return wake_ != INVALID_SOCKET && !fds_.empty() && fds_[0].fd == wake_; }

    // Brings owner's slot in the array in line with its entry.
    void Apply(void* owner) {
        auto it = owners_.find(owner);
        auto slot = slots_.find(owner);
        const bool wanted = it != owners_.end() && it->second.mask != 0 && it->second.sock != INVALID_SOCKET;
        if (it != owners_.end()) it->second.dirty = false;
        if (!wanted) {
            if (slot != slots_.end()) DropSlot(slot->second);
            return;
        }
        const SHORT events = ToPoll(it->second.mask);
        if (slot != slots_.end()) {
            fds_[slot->second].fd = it->second.sock;
            fds_[slot->second].events = events;
            return;
        }
        slots_[owner] = fds_.size();
        fds_.push_back(WSAPOLLFD{it->second.sock, events, 0});
        slotOwners_.push_back(owner);
    }

    // The last slot takes the place of the dropped one.
    void DropSlot(size_t i) {
        slots_.erase(slotOwners_[i]);
        const size_t last = fds_.size() - 1;
        if (i != last) {
            fds_[i] = fds_[last];
            slotOwners_[i] = slotOwners_[last];
            slots_[slotOwners_[i]] = i;
        }
        fds_.pop_back();
        slotOwners_.pop_back();
    }

    // POLLPRI (out-of-band data) is what select's exception set reports on
    // a connected socket; WSAPoll accepts only the normal-data flags in
    // events.
    static SHORT ToPoll(unsigned mask) {
        SHORT ev = 0;
        if (mask & EV_READ) ev |= POLLRDNORM;
        if (mask & EV_WRITE) ev |= POLLWRNORM;
        if (mask & EV_EXCEPT) ev |= POLLRDBAND;
        return ev;
    }

    // What select would have said: a reset or hang-up makes a socket
    // readable (and writable); a socket that watches only for exceptions
    // (a connect under way) hears of a failure in the exception set.
    static unsigned FromPoll(SHORT rev, unsigned mask) {
        unsigned bits = 0;
        const SHORT failed = POLLERR | POLLHUP | POLLNVAL;
        if (rev & (POLLRDNORM | failed)) bits |= EV_READ;
        if (rev & (POLLWRNORM | failed)) bits |= EV_WRITE;
        if (rev & POLLRDBAND) bits |= EV_EXCEPT;
        if ((rev & failed) && !(mask & (EV_READ | EV_WRITE))) bits |= EV_EXCEPT;
        return bits & mask;
    }

    WsaPollFn poll_;
    std::unordered_map<void*, Entry> owners_;
    std::vector<void*> dirty_;
    // The array WSAPoll reads, and the owner of each slot (null for the
    // wake socket's).
    std::vector<WSAPOLLFD> fds_;
    std::vector<void*> slotOwners_;
    std::unordered_map<void*, size_t> slots_;
    WakeDatagram wakeDatagram_;
    SOCKET wake_ = INVALID_SOCKET;
    int ready_ = 0;
    bool wakeReady_ = false;
    std::vector<PollEvent> readyList_;
};

}  // namespace

std::unique_ptr<Poller> CreateWsaPollPoller() {
    WsaPollFn poll = FindWsaPoll();
    if (!poll) return nullptr;
    return std::unique_ptr<Poller>(new WsaPollPoller(poll));
}

}  // namespace plat
