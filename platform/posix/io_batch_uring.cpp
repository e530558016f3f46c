// The batch on io_uring. Every operation carries MSG_DONTWAIT, so the
// kernel tries it at once and answers EAGAIN rather than waiting for the
// socket: the ring is a way to make many ready calls in one system call,
// not a second event loop.
#include <liburing.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/io_batch.h"
#include "platform/posix/errno_map.h"

namespace plat {
namespace {

const unsigned kEntries = 256;   // operations per submission; more are run in rounds

class UringBatch : public IoBatch {
public:
    UringBatch() {
        std::memset(&ring_, 0, sizeof ring_);
        // One thread submits; completions need no interrupt of it.
        ready_ = io_uring_queue_init(kEntries, &ring_, IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_COOP_TASKRUN) == 0;
        if (!ready_) {
            std::memset(&ring_, 0, sizeof ring_);
            ready_ = io_uring_queue_init(kEntries, &ring_, 0) == 0;
        }
    }
    ~UringBatch() override { Drop(); }

    bool Ready() const { return ready_; }

    void Run(std::vector<IoOp>& ops) override {
        for (size_t first = 0; first < ops.size(); first += kEntries) {
            size_t n = ops.size() - first < kEntries ? ops.size() - first : kEntries;
            if (ready_) {
                RunRound(&ops[first], unsigned(n));
            } else {
                for (size_t i = 0; i < n; ++i) Plain(ops[first + i]);
            }
        }
    }

private:
    void RunRound(IoOp* ops, unsigned n) {
        for (unsigned i = 0; i < n; ++i) {
            io_uring_sqe* sqe = io_uring_get_sqe(&ring_);   // never null: a round fits the ring
            IoOp& op = ops[i];
            if (op.send) {
                io_uring_prep_send(sqe, op.sock, op.buf, size_t(op.len), MSG_DONTWAIT | MSG_NOSIGNAL);
            } else {
                io_uring_prep_recv(sqe, op.sock, op.buf, size_t(op.len), MSG_DONTWAIT);
            }
            io_uring_sqe_set_data64(sqe, i);
            op.result = -1;
            op.error = kErrWouldBlock;   // until its completion says otherwise
        }
        int submitted;
        do {
            submitted = io_uring_submit_and_wait(&ring_, n);
        } while (submitted == -EINTR);
        if (submitted < 0) {
            // The ring refused the round: the entries it still holds must
            // never run, so the ring goes, and from now on every operation
            // is a plain call.
            Drop();
            for (unsigned i = 0; i < n; ++i) Plain(ops[i]);
            return;
        }
        unsigned done = 0;
        while (done < n) {
            io_uring_cqe* cqe = nullptr;
            int w = io_uring_wait_cqe(&ring_, &cqe);
            if (w == -EINTR) continue;
            if (w < 0) {
                Drop();   // what did not complete reads as would-block
                return;
            }
            unsigned head, seen = 0;
            io_uring_for_each_cqe(&ring_, head, cqe) {
                ++seen;
                IoOp& op = ops[io_uring_cqe_get_data64(cqe)];
                if (cqe->res >= 0) {
                    op.result = cqe->res;
                    op.error = 0;
                } else {
                    op.result = -1;
                    op.error = TranslateErrno(-cqe->res);
                }
            }
            io_uring_cq_advance(&ring_, seen);
            done += seen;
        }
    }

    static void Plain(IoOp& op) {
        op.result = op.send ? Send(op.sock, op.buf, op.len) : Recv(op.sock, op.buf, op.len);
        op.error = op.result < 0 ? LastSocketError() : 0;
    }

    void Drop() {
        if (ready_) io_uring_queue_exit(&ring_);
        ready_ = false;
    }

    io_uring ring_;
    bool ready_;
};

bool Disabled() {
    const char* v = std::getenv("VEMNET_IO_BATCH");
    return v && std::strcmp(v, "0") == 0;
}

}  // namespace

std::unique_ptr<IoBatch> IoBatch::Create() {
    if (Disabled()) return nullptr;
    std::unique_ptr<UringBatch> batch(new UringBatch());
    if (!batch->Ready()) return nullptr;   // no io_uring here
    return std::unique_ptr<IoBatch>(batch.release());
}

}  // namespace plat
