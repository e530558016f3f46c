// The select poller, where WSAPoll is missing. The three sets are sized for 30000 sockets each, so
// FD_SETSIZE must be set before anything brings in <winsock2.h>.
#define FD_SETSIZE 30000
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <memory>
#include <vector>

#include "platform/poller.h"
#include "platform/win32/pollers.h"
#include "platform/win32/wake_datagram.h"
#include "vemnet/frame.h"

namespace plat {

namespace {

const u_int kSetLimit = FD_SETSIZE;

// An fd_set with one slot more than the owners may fill: the wake socket's.
// select reads fd_count and never looks at FD_SETSIZE, so the longer array
// is fine as long as the head matches fd_set.
struct SocketSet {
    u_int fd_count;
    SOCKET fd_array[kSetLimit + 1];
};
static_assert(offsetof(SocketSet, fd_array) == offsetof(fd_set, fd_array), "fd_set layout");

fd_set* AsFdSet(SocketSet* s) { return reinterpret_cast<fd_set*>(s); }

// select leaves only the ready sockets in a set; sorting them lets Collect
// look each owner up in O(log n) instead of the linear FD_ISSET.
bool Holds(const SocketSet& s, SOCKET sock) {
    return std::binary_search(s.fd_array, s.fd_array + s.fd_count, sock);
}

class SelectPoller : public Poller {
public:
    SelectPoller() : read_(new SocketSet), write_(new SocketSet), except_(new SocketSet) {
        read_->fd_count = write_->fd_count = except_->fd_count = 0;
    }

    void Set(void* owner, socket_t s, unsigned mask) override {
        Entry& e = entries_[owner];
        e.sock = static_cast<SOCKET>(s);
        e.mask = mask;
    }

    void Remove(void* owner) override { entries_.erase(owner); }

    void Prepare() override {
        read_->fd_count = write_->fd_count = except_->fd_count = 0;
        watched_ = 0;
        for (const auto& kv : entries_) {
            const Entry& e = kv.second;
            if (e.mask == 0) continue;
            bool any = false;
            if (e.mask & EV_READ) any |= Add(read_.get(), e.sock);
            if (e.mask & EV_WRITE) any |= Add(write_.get(), e.sock);
            if (e.mask & EV_EXCEPT) any |= Add(except_.get(), e.sock);
            if (any) ++watched_;
        }
        preparedWake_ = wake_.Socket();
        if (preparedWake_ != INVALID_SOCKET) read_->fd_array[read_->fd_count++] = preparedWake_;
    }

    int Wait(int64_t timeoutUs, int* error) override {
        // With nothing of the owners' to watch, a wait without limit would
        // hang until a Wake; a bounded one keeps queued tasks and Stop going.
        if (timeoutUs < 0 && watched_ == 0) timeoutUs = int64_t(kIdleWaitMs) * 1000;
        const int timeoutMs = timeoutUs < 0 ? -1 : int((timeoutUs + 999) / 1000);
        timeval tv;
        timeval* limit = nullptr;
        if (timeoutUs >= 0) {
            tv.tv_sec = long(timeoutUs / 1000000);
            tv.tv_usec = long(timeoutUs % 1000000);
            limit = &tv;
        }
        // The first argument is ignored by Windows Sockets.
        int n = select(0, AsFdSet(read_.get()), AsFdSet(write_.get()), AsFdSet(except_.get()), limit);
        if (n < 0) {
            int code = WSAGetLastError();
            read_->fd_count = write_->fd_count = except_->fd_count = 0;
            ready_ = 0;
            if (code == WSAEINVAL) {
                // All three sets empty: Windows Sockets refuses to wait, so
                // the wait becomes a sleep (never an endless one).
                Sleep(static_cast<DWORD>(timeoutMs >= 0 ? timeoutMs : kIdleWaitMs));
                return 0;
            }
            if (error) *error = code;
            return -1;
        }
        std::sort(read_->fd_array, read_->fd_array + read_->fd_count);
        std::sort(write_->fd_array, write_->fd_array + write_->fd_count);
        std::sort(except_->fd_array, except_->fd_array + except_->fd_count);
        if (n > 0 && preparedWake_ != INVALID_SOCKET && Holds(*read_, preparedWake_)) {
            --n;
            wakeReady_ = true;
        }
        ready_ = n;
        return n;
    }

    void Collect(std::vector<PollEvent>* events) override {
        if (wakeReady_) {
            wakeReady_ = false;
            wake_.Consume();
        }
        // select counts a socket once per set it is in, so n never falls
        // below the number of owners with events and the walk never stops
        // early.
        int n = ready_;
        ready_ = 0;
        for (auto it = entries_.begin(); it != entries_.end() && n > 0; ++it) {
            const Entry& e = it->second;
            // Interest dropped since Prepare is not reported.
            bool r = (e.mask & EV_READ) && Holds(*read_, e.sock);
            bool w = (e.mask & EV_WRITE) && Holds(*write_, e.sock);
            bool x = (e.mask & EV_EXCEPT) && Holds(*except_, e.sock);
            if (r) events->push_back(PollEvent{it->first, EV_READ});
            if (w) events->push_back(PollEvent{it->first, EV_WRITE});
            if (x) events->push_back(PollEvent{it->first, EV_EXCEPT});
            if (r || w || x) --n;
        }
        read_->fd_count = write_->fd_count = except_->fd_count = 0;
    }

    void Wake() override { wake_.Wake(); }

private:
    struct Entry {
        SOCKET sock = INVALID_SOCKET;
        unsigned mask = 0;
    };

    static const int kIdleWaitMs = 100;

    static bool Add(SocketSet* set, SOCKET s) {
        if (set->fd_count >= kSetLimit) return false;   // left out, without report
        set->fd_array[set->fd_count++] = s;
        return true;
    }

    std::map<void*, Entry> entries_;
    std::unique_ptr<SocketSet> read_, write_, except_;
    int watched_ = 0;
    int ready_ = 0;
    SOCKET preparedWake_ = INVALID_SOCKET;   // the wake socket as Prepare saw it
    bool wakeReady_ = false;

    WakeDatagram wake_;
};

}  // namespace

std::unique_ptr<Poller> CreateSelectPoller() { return std::unique_ptr<Poller>(new SelectPoller); }

}  // namespace plat
