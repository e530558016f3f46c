// A block buffer that fills itself from a socket.
#ifndef VEMNET_SOCK_BUFFER_H
#define VEMNET_SOCK_BUFFER_H

#include "frame/sockethelper.h"
#include "sockets/block_buffer.h"

template <typename Buffer>
struct SockBuffer : public Buffer {
    ~SockBuffer() override {}

    // One receive into the free space; each receive is offered at least half
    // a block while the buffer is below its limit. Returns the bytes received
    // (0: the peer closed); throws buffer_overflow when no byte is free and
    // lets the socket_error of a failed receive pass.
    int read_from(Sockethelper& sock) {
        const uint32_t block = Buffer::kBlockSize;
        uint32_t free = this->capacity() - this->size();
        if (free < block / 2 && this->blocks() < Buffer::kMaxBlocks) this->reserve(block);
        free = this->capacity() - this->size();
        if (free == 0) throw buffer_overflow("input buffer overflow");
        int r = sock.Recv(this->data() + this->size(), int(free));
        if (r > 0) this->grow_length(uint32_t(r));
        return r;
    }
};

// The input and output queue of a buffered TCP socket: at most 262144 bytes.
using SocketQueue = SockBuffer<BlockBuffer<default_block_allocator_malloc_free<8192>, 32>>;

#endif
