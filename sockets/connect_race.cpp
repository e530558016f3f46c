#include "sockets/connect_race.h"

#include <algorithm>
#include <exception>

#include "frame/base_selector.h"
#include "frame/base_socket.h"
#include "sockets/tcp_socket.h"

// One address's connect: a handle of its own, watched until it connects or
// fails, with a timer that says when the next address is due.
class ConnectAttempt : public BaseSocket {
public:
    ConnectAttempt(ConnectRace* race, BaseSelector* frame, const plat::NetAddress& address)
        : race_(race), address_(address), over_(false) {
        selector_ = frame;
    }

    const plat::NetAddress& address() const { return address_; }

    // true: under way or connected (Connected told the race); false: failed
    // at once, with the code in the thread's last socket error.
    bool Begin(int port) {
        try {
            helper_.sock = plat::OpenStreamSocket(address_);
            if (helper_.sock == plat::kInvalidSocket) return false;
            helper_.SetNonBlocking();
            if (helper_.ConnectAddress(address_, port)) {
                over_ = true;
                race_->Connected(this);
                return true;
            }
            Select(0, EV_READ | EV_WRITE | EV_EXCEPT);
            Handler::SetTimer(ConnectRace::kStaggerMs);
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }

    // The connected handle, no longer watched, for the socket that won.
    plat::socket_t TakeHandle() {
        Handler::SetTimer(-1);
        Unregister();
        plat::socket_t s = helper_.sock;
        helper_.sock = plat::kInvalidSocket;
        helper_.flags = 0;
        return s;
    }

    // The race is over for this attempt: no event reaches the race any more.
    void Leave() {
        race_ = nullptr;
        over_ = true;
        Handler::SetTimer(-1);
    }

    void OnEvent(unsigned mask) override {
        if (!race_) return;
        if (mask == EV_TIMER) {
            if (!over_) race_->Stalled(this);
            return;
        }
        if (over_ || (mask != EV_READ && mask != EV_WRITE && mask != EV_EXCEPT)) return;
        over_ = true;
        Handler::SetTimer(-1);
        // The race (and with it the socket) may be gone when either returns:
        // nothing of this object's is touched afterwards.
        if (helper_.GetConnectError() == 0) {
            race_->Connected(this);
        } else {
            race_->Failed(this, plat::LastSocketError());
        }
    }

    void OnError() override {
        // OnEvent throws nothing; a frame that reports a failure anyway ends
        // the attempt like a refusal.
        if (race_) race_->Failed(this, plat::LastSocketError());
    }

private:
    ConnectRace* race_;
    plat::NetAddress address_;
    bool over_;
};

std::vector<plat::NetAddress> InterleaveFamilies(const std::vector<plat::NetAddress>& addresses) {
    if (addresses.empty()) return addresses;
    std::vector<plat::NetAddress> first, second;
    for (const plat::NetAddress& a : addresses) (a.v6 == addresses.front().v6 ? first : second).push_back(a);
    std::vector<plat::NetAddress> out;
    for (size_t i = 0; i < std::max(first.size(), second.size()); ++i) {
        if (i < first.size()) out.push_back(first[i]);
        if (i < second.size()) out.push_back(second[i]);
    }
    return out;
}

ConnectRace::ConnectRace(TcpSocket* owner, const std::vector<plat::NetAddress>& addresses, int port)
    : owner_(owner),
      addresses_(InterleaveFamilies(addresses)),
      next_(0),
      port_(port),
      newest_(nullptr),
      lastError_(0) {}

ConnectRace::~ConnectRace() { DropAll(); }

bool ConnectRace::Start() {
    if (StartNext()) return true;
    plat::SetLastSocketError(lastError_);
    return false;
}

bool ConnectRace::StartNext() {
    while (next_ < addresses_.size()) {
        ConnectAttempt* attempt = new ConnectAttempt(this, owner_->selector(), addresses_[next_++]);
        running_.push_back(attempt);
        newest_ = attempt;
        const bool started = attempt->Begin(port_);
        // Connected inside Begin: the race is over, and perhaps the socket
        // with it.
        if (started) return true;
        lastError_ = plat::LastSocketError();
        Drop(attempt);
    }
    return false;
}

void ConnectRace::Connected(ConnectAttempt* attempt) {
    const plat::socket_t handle = attempt->TakeHandle();
    const plat::NetAddress address = attempt->address();
    DropAll();
    // Last: the socket's user hears of the connection now, and may let the
    // socket, and this race with it, go.
    owner_->RaceWon(handle, address);
}

void ConnectRace::Failed(ConnectAttempt* attempt, int code) {
    lastError_ = code;
    const bool wasNewest = attempt == newest_;
    Drop(attempt);
    // The next address is due at once when the newest attempt failed; an
    // older one's failure changes nothing for the newest's timer.
    if (wasNewest && StartNext()) return;
    if (!running_.empty() || next_ < addresses_.size()) return;
    owner_->RaceLost(lastError_);
}

void ConnectRace::Stalled(ConnectAttempt* attempt) {
    if (attempt != newest_) return;
    StartNext();
}

void ConnectRace::Drop(ConnectAttempt* attempt) {
    running_.erase(std::remove(running_.begin(), running_.end(), attempt), running_.end());
    if (newest_ == attempt) newest_ = nullptr;
    attempt->Leave();
    // Released, not deleted: the attempt may be the one whose event is
    // being dispatched, and the frame may be waiting on its handle.
    BaseSelector* frame = attempt->selector();
    if (frame) frame->ReleaseHandler(attempt);
}

void ConnectRace::DropAll() {
    while (!running_.empty()) Drop(running_.back());
}
