// Readiness through the ancillary function driver (AFD), whose cost per cycle
// follows the ready sockets: each watched socket has one poll request
// outstanding on a handle of the driver, and the requests that complete are
// taken from one completion port. Idle sockets cost nothing per cycle; with
// select and WSAPoll every registered socket is handed to the system in
// every wait.
//
// A request completes once, when something of what it asks for happens (or
// at once, when it already has): the socket reports it and is asked again
// in the next Prepare, after the frame has dispatched the event, so that a
// socket still ready is reported again, as select would.
//
// Requests are made and cancelled in Prepare, under the frame lock, and a
// socket's record (which the driver writes into) is freed only when its
// request is no longer outstanding, in Collect or Prepare. Set and Remove,
// also from other threads during a wait, only change records and mark them.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/poller.h"
#include "platform/win32/afd.h"
#include "platform/win32/pollers.h"
#include "vemnet/frame.h"

namespace plat {

namespace {

// The driver's device, opened under a name of this library's.
const wchar_t kDeviceName[] = L"\\Device\\Afd\\Vemnet";
// Room for completions taken by one wait, at first; it grows with the
// records, so that one wait takes every socket that is ready, as select does.
const size_t kFirstCompletionRoom = 1024;
// The completion key of Wake's packet (the sockets' requests come with key 0).
const ULONG_PTR kWakeKey = 1;
const int kIdleWaitMs = 100;
// How long the destructor waits for the cancelled requests to come back.
const DWORD kDrainLimitMs = 2000;

// What a socket is asked for: the failures always, so that a socket hears of
// them whatever it watches.
const ULONG kAfdFailures = afd::kPollDisconnect | afd::kPollAbort | afd::kPollConnectFail;
const ULONG kAfdReadable = afd::kPollReceive | afd::kPollAccept;

ULONG ToAfd(unsigned mask) {
    ULONG ev = 0;
    if (mask & EV_READ) ev |= kAfdReadable;
    if (mask & EV_WRITE) ev |= afd::kPollSend;
    if (mask & EV_EXCEPT) ev |= afd::kPollReceiveExpedited;
    return ev ? (ev | kAfdFailures | afd::kPollLocalClose) : 0;
}

// What select would have said (as the WSAPoll backend does): a hang-up, a
// reset or a failed connect makes a socket readable and writable; a socket
// that watches only for exceptions (a connect under way) hears of a failure
// in the exception set.
unsigned FromAfd(ULONG ev, unsigned mask) {
    unsigned bits = 0;
    if (ev & (kAfdReadable | kAfdFailures)) bits |= EV_READ;
    if (ev & (afd::kPollSend | kAfdFailures)) bits |= EV_WRITE;
    if (ev & afd::kPollReceiveExpedited) bits |= EV_EXCEPT;
    if ((ev & kAfdFailures) && !(mask & (EV_READ | EV_WRITE))) bits |= EV_EXCEPT;
    return bits & mask;
}

// The handle the driver knows a socket by (a layered provider's socket is
// not it).
SOCKET BaseHandle(SOCKET s) {
    SOCKET base = INVALID_SOCKET;
    DWORD bytes = 0;
    if (WSAIoctl(s, afd::kSioBaseHandle, nullptr, 0, &base, sizeof(base), &bytes, nullptr, nullptr) != 0 ||
        base == INVALID_SOCKET) {
        return s;
    }
    return base;
}

class AfdPoller : public Poller {
public:
    AfdPoller(const afd::NtFunctions& nt, HANDLE port, HANDLE device)
        : nt_(nt), port_(port), device_(device), completions_(kFirstCompletionRoom) {}

    ~AfdPoller() override {
        for (Record* r : records_) {
            if (r->pending) Cancel(r);
        }
        const DWORD start = GetTickCount();
        while (AnyPending() && GetTickCount() - start < kDrainLimitMs) {
            ULONG n = 0;
            if (!GetQueuedCompletionStatusEx(port_, completions_.data(), ULONG(completions_.size()), &n, 100, FALSE)) {
                continue;
            }
            for (ULONG i = 0; i < n; ++i) {
                if (completions_[i].lpCompletionKey == kWakeKey) continue;
                static_cast<Record*>(static_cast<void*>(completions_[i].lpOverlapped))->pending = false;
            }
        }
        CloseHandle(device_);
        CloseHandle(port_);
        // A request still outstanding now was cut off with the device's
        // handle; its record is left alone rather than freed under it.
        for (Record* r : records_) {
            if (!r->pending) delete r;
        }
    }

    void Set(void* owner, socket_t s, unsigned mask) override {
        mask &= (EV_READ | EV_WRITE | EV_EXCEPT);
        const SOCKET sock = static_cast<SOCKET>(s);
        auto it = owners_.find(owner);
        Record* r = it == owners_.end() ? nullptr : it->second;
        if (r && r->sock != sock) {
            Detach(r);
            r = nullptr;
        }
        if (!r) {
            r = new Record;
            r->owner = owner;
            r->sock = sock;
            r->base = BaseHandle(sock);
            records_.insert(r);
            owners_[owner] = r;
        }
        r->mask = mask;
        // The handle may be a new socket under an old number: one closed
        // since it was asked about is asked about again.
        ++r->sets;
        r->closed = false;
        MarkDirty(r);
    }

    void Remove(void* owner) override {
        auto it = owners_.find(owner);
        if (it == owners_.end()) return;
        Record* r = it->second;
        owners_.erase(it);
        Detach(r);
    }

    void Prepare() override {
        for (Record* r : dirty_) {
            r->queued = false;
            if (r->detached) {
                if (r->pending) {
                    Cancel(r);   // freed when the cancellation comes back
                } else {
                    records_.erase(r);
                    delete r;
                }
                continue;
            }
            const ULONG wanted = ToAfd(r->mask);
            if (r->pending) {
                // A request that asks for too little is cancelled and made
                // anew once it is back; one that asks for more is left, and
                // what it reports is filtered by the current interest.
                if ((r->asked & wanted) != wanted) Cancel(r);
                continue;
            }
            if (wanted && !r->closed) Submit(r, wanted);
        }
        dirty_.clear();
        watched_ = owners_.size();
        // Each record has at most one request outstanding; one more for Wake.
        if (completions_.size() < records_.size() + 1) completions_.resize(2 * records_.size() + 1);
    }

    int Wait(int64_t timeoutUs, int* error) override {
        taken_ = 0;
        // With nothing of the owners' to watch, a wait without limit would
        // last until a Wake; a bounded one keeps queued tasks and Stop going.
        if (timeoutUs < 0 && watched_ == 0) timeoutUs = int64_t(kIdleWaitMs) * 1000;
        const DWORD timeoutMs = timeoutUs < 0 ? INFINITE : DWORD((timeoutUs + 999) / 1000);
        ULONG n = 0;
        if (!GetQueuedCompletionStatusEx(port_, completions_.data(), ULONG(completions_.size()), &n, timeoutMs,
                                         FALSE)) {
            const DWORD code = GetLastError();
            if (code == WAIT_TIMEOUT) return 0;
            if (error) *error = int(code);
            return -1;
        }
        taken_ = n;
        int sockets = 0;
        for (ULONG i = 0; i < n; ++i) {
            const OVERLAPPED_ENTRY& c = completions_[i];
            if (c.lpCompletionKey == kWakeKey) continue;
            // A cancelled request (an interest changed, an owner left)
            // reports nothing. Records are freed only under the frame lock
            // by this thread, so this one is still there.
            const Record* r = static_cast<const Record*>(static_cast<const void*>(c.lpOverlapped));
            if (r->iosb.Status != afd::kStatusCancelled) ++sockets;
        }
        return sockets;
    }

    void Collect(std::vector<PollEvent>* events) override {
        readyList_.clear();
        const ULONG n = taken_;
        taken_ = 0;
        for (ULONG i = 0; i < n; ++i) {
            const OVERLAPPED_ENTRY& c = completions_[i];
            if (c.lpCompletionKey == kWakeKey) {
                wakePosted_.store(false, std::memory_order_release);
                continue;
            }
            Record* r = static_cast<Record*>(static_cast<void*>(c.lpOverlapped));
            r->pending = false;
            if (r->detached) {
                // Prepare frees one still on the dirty list.
                if (!r->queued) {
                    records_.erase(r);
                    delete r;
                }
                continue;
            }
            const afd::NtStatus status = r->iosb.Status;
            const ULONG happened =
                (!afd::Failed(status) && r->info.NumberOfHandles > 0) ? r->info.Handles[0].Events : 0;
            if ((happened & afd::kPollLocalClose) || (afd::Failed(status) && status != afd::kStatusCancelled)) {
                // The handle was closed (or is no socket): nothing to ask
                // until the owner sets a socket again, unless it has done
                // so since, with a new socket under the same number.
                if (r->askedAt == r->sets) {
                    r->closed = true;
                } else {
                    r->base = BaseHandle(r->sock);
                    MarkDirty(r);
                }
                continue;
            }
            const unsigned bits = FromAfd(happened, r->mask);
            if (bits) readyList_.push_back(PollEvent{r->owner, bits});
            MarkDirty(r);   // asked again after the dispatch
        }
        AppendInOwnerOrder(&readyList_, events);
    }

    void Wake() override {
        // One packet stands for any number of wakes until a wait takes it.
        if (wakePosted_.exchange(true, std::memory_order_acq_rel)) return;
        if (!PostQueuedCompletionStatus(port_, 0, kWakeKey, nullptr)) {
            wakePosted_.store(false, std::memory_order_release);
        }
    }

private:
    // One watched socket. The driver writes into iosb and info while a
    // request is outstanding (pending), so the record lives until then.
    struct Record {
        void* owner = nullptr;
        SOCKET sock = INVALID_SOCKET;
        SOCKET base = INVALID_SOCKET;
        unsigned mask = 0;
        ULONG asked = 0;          // what the outstanding request asks for
        unsigned sets = 0;        // Set calls so far
        unsigned askedAt = 0;     // sets when the request was made
        bool pending = false;
        bool queued = false;      // on the dirty list
        bool detached = false;    // its owner left, or moved to another socket
        bool closed = false;      // its handle was closed
        afd::IoStatusBlock iosb{};
        afd::PollInfo info{};
    };

    void MarkDirty(Record* r) {
        if (r->queued) return;
        r->queued = true;
        dirty_.push_back(r);
    }

    void Detach(Record* r) {
        r->owner = nullptr;
        r->detached = true;
        MarkDirty(r);
    }

    void Submit(Record* r, ULONG wanted) {
        r->info.Timeout.QuadPart = INT64_MAX;
        r->info.NumberOfHandles = 1;
        r->info.Exclusive = 0;
        r->info.Handles[0].Handle = reinterpret_cast<HANDLE>(r->base);
        r->info.Handles[0].Events = wanted;
        r->info.Handles[0].Status = 0;
        r->iosb.Status = afd::kStatusPending;
        r->iosb.Information = 0;
        const afd::NtStatus status = nt_.deviceIoControlFile(device_, nullptr, nullptr, r, &r->iosb, afd::kIoctlPoll,
                                                             &r->info, sizeof(r->info), &r->info, sizeof(r->info));
        // Success comes through the port as well; a refusal (a handle that
        // is no socket) does not, and leaves the socket unwatched.
        if (afd::Failed(status)) return;
        r->pending = true;
        r->asked = wanted;
        r->askedAt = r->sets;
    }

    void Cancel(Record* r) {
        afd::IoStatusBlock result{};
        nt_.cancelIoFileEx(device_, &r->iosb, &result);
    }

    bool AnyPending() const {
        for (Record* r : records_) {
            if (r->pending) return true;
        }
        return false;
    }

    afd::NtFunctions nt_;
    HANDLE port_;
    HANDLE device_;
    std::unordered_map<void*, Record*> owners_;
    std::unordered_set<Record*> records_;   // every record, detached ones too
    std::vector<Record*> dirty_;
    std::vector<OVERLAPPED_ENTRY> completions_;
    ULONG taken_ = 0;
    size_t watched_ = 0;   // owners at the last Prepare; read by Wait
    std::atomic<bool> wakePosted_{false};
    std::vector<PollEvent> readyList_;
};

// The driver's handle, tied to a new completion port; false where the system
// has no such driver (or no native functions to reach it).
bool OpenDevice(const afd::NtFunctions& nt, HANDLE* port, HANDLE* device) {
    if (!nt.Complete()) return false;
    *port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (!*port) return false;
    wchar_t name[sizeof(kDeviceName) / sizeof(wchar_t)];
    std::copy(kDeviceName, kDeviceName + sizeof(kDeviceName) / sizeof(wchar_t), name);
    afd::UnicodeString text{USHORT(sizeof(name) - sizeof(wchar_t)), USHORT(sizeof(name)), name};
    afd::ObjectAttributes attributes{sizeof(afd::ObjectAttributes), nullptr, &text, afd::kObjCaseInsensitive,
                                     nullptr, nullptr};
    afd::IoStatusBlock iosb{};
    *device = nullptr;
    const afd::NtStatus status = nt.createFile(device, SYNCHRONIZE, &attributes, &iosb, nullptr, 0,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, afd::kFileOpen, 0, nullptr, 0);
    if (afd::Failed(status) || !*device) {
        CloseHandle(*port);
        return false;
    }
    if (CreateIoCompletionPort(*device, *port, 0, 0) != *port ||
        !SetFileCompletionNotificationModes(*device, FILE_SKIP_SET_EVENT_ON_HANDLE)) {
        CloseHandle(*device);
        CloseHandle(*port);
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<Poller> CreateAfdPoller() {
    const afd::NtFunctions nt = afd::FindNtFunctions();
    HANDLE port = nullptr;
    HANDLE device = nullptr;
    if (!OpenDevice(nt, &port, &device)) return nullptr;
    return std::unique_ptr<Poller>(new AfdPoller(nt, port, device));
}

}  // namespace plat
