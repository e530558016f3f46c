// A block buffer that fills itself from a socket.
#ifndef VEMNET_SOCK_BUFFER_H
#define VEMNET_SOCK_BUFFER_H

#include "frame/sockethelper.h"
#include "sockets/block_buffer.h"

template <typename Buffer>
struct SockBuffer : public Buffer {
    ~SockBuffer() override {}

    // One receive into the free space; each receive is offered at least half
    // of the current offer while the buffer is below its limit. The offer
    // (kept by the caller, so that an idle socket pays nothing for it)
    // starts at one block and doubles, up to kLargestOffer, each time a
    // receive fills all the space it was given (the peer sends faster than
    // one block a cycle), and falls back to one block when a receive takes
    // less than half: a bulk stream is read in large pieces, a trickle
    // costs one block. Returns the bytes received (0: the peer closed);
    // throws buffer_overflow when no byte is free and lets the socket_error
    // of a failed receive pass.
    int read_from(Sockethelper& sock, uint32_t& offer) {
        uint32_t free = make_room(offer);
        if (free == 0) throw buffer_overflow("input buffer overflow");
        return took(sock.Recv(this->data() + this->size(), int(free)), offer);
    }

    // read_from in two steps, for a receive made elsewhere: the free space
    // the receive may fill (make_room; 0: none), then the bytes it took
    // (took, with the space as it was offered).
    uint32_t make_room(uint32_t& offer) {
        const uint32_t block = Buffer::kBlockSize;
        if (offer < block) offer = block;
        uint32_t free = this->capacity() - this->size();
        if (free < offer / 2 && this->blocks() < Buffer::kMaxBlocks) {
            const uint32_t room = Buffer::kCapacity - this->size();
            this->reserve(offer < room ? offer : room);
        }
        return this->capacity() - this->size();
    }

    int took(int r, uint32_t& offer) {
        const uint32_t free = this->capacity() - this->size();
        if (r > 0) {
            this->grow_length(uint32_t(r));
            if (uint32_t(r) == free) offer = offer * 2 < kLargestOffer ? offer * 2 : kLargestOffer;
            else if (uint32_t(r) < free / 2) offer = Buffer::kBlockSize;
        }
        return r;
    }

    static const uint32_t kLargestOffer = 65536;
};

// The input and output queue of a buffered TCP socket: at most 262144 bytes.
using SocketQueue = SockBuffer<BlockBuffer<default_block_allocator_malloc_free<8192>, 32>>;

#endif
