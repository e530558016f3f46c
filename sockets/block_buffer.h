// A byte queue held in one contiguous region of whole blocks, never more than
// MaxBlocks of them. A full buffer is an ordinary, reported condition.
//
//   data_ -> [ buffered bytes ........ | free ........ ]
//            |<------ length_ ------->|
//            |<------------ blocks_ * BlockSize ----->|
//
// Bytes always start at the beginning of the region: consume() moves the rest
// down, so a consumer sees the whole queue as one pointer and length.
#ifndef VEMNET_BLOCK_BUFFER_H
#define VEMNET_BLOCK_BUFFER_H

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sockets/buffer_overflow.h"

template <unsigned BlockSize>
struct default_block_allocator_malloc_free {
    static const unsigned block_size = BlockSize;
    static void* allocate(size_t bytes) { return std::malloc(bytes); }
    static void release(void* p) { std::free(p); }
};

template <typename Allocator, unsigned MaxBlocks>
class BlockBuffer {
public:
    static const unsigned kBlockSize = Allocator::block_size;
    static const unsigned kMaxBlocks = MaxBlocks;
    static const uint32_t kCapacity = kBlockSize * MaxBlocks;

    BlockBuffer() : data_(nullptr), length_(0), blocks_(0) {}
    virtual ~BlockBuffer() { clear(); }
    BlockBuffer(const BlockBuffer&) = delete;
    BlockBuffer& operator=(const BlockBuffer&) = delete;

    // Makes room for n more bytes, growing to the smallest block count that
    // holds them; false when that needs more than MaxBlocks or memory fails.
    bool reserve(uint32_t n) {
        if (n == 0) return true;
        uint64_t capacity = uint64_t(blocks_) * kBlockSize;
        uint64_t free = capacity - length_;
        if (free >= n) return true;
        uint64_t missing = n - free;
        uint64_t needed = blocks_ + missing / kBlockSize + (missing % kBlockSize ? 1 : 0);
        if (needed > MaxBlocks) return false;
        char* region = static_cast<char*>(Allocator::allocate(size_t(needed) * kBlockSize));
        if (!region) return false;
        if (blocks_ > 0) {
            if (length_) std::memcpy(region, data_, length_);
            Allocator::release(data_);
        }
        data_ = region;
        blocks_ = uint32_t(needed);
        return true;
    }

    // All or nothing.
    bool append(const void* src, uint32_t n) {
        if (n == 0) return true;
        if (!reserve(n)) return false;
        std::memmove(data_ + length_, src, n);
        length_ += n;
        return true;
    }

    void append_all(const void* src, uint32_t n) {
        if (n == 0) return;
        if (!reserve(n)) throw buffer_overflow_all("output buffer overflow [all]");
        std::memcpy(data_ + length_, src, n);
        length_ += n;
    }

    // Drops n bytes from the front; an emptied buffer gives its storage back.
    void consume(uint32_t n) {
        if (n >= length_) {
            length_ = 0;
        } else {
            length_ -= n;
            std::memmove(data_, data_ + n, length_);
        }
        if (length_ == 0) clear();
    }

    void clear() {
        if (blocks_ > 0) {
            Allocator::release(data_);
            blocks_ = 0;
        }
        data_ = nullptr;
        length_ = 0;
    }

    char* data() const { return data_; }
    uint32_t size() const { return length_; }
    uint32_t blocks() const { return blocks_; }
    uint32_t capacity() const { return blocks_ * kBlockSize; }
    bool empty() const { return length_ == 0; }

protected:
    // For receivers that fill the free space directly.
    void grow_length(uint32_t n) { length_ += n; }

    char* data_;
    uint32_t length_;
    uint32_t blocks_;
};

// 4096-byte blocks, at most 131072 bytes: data held back during a proxy
// handshake and the buffers of an HTTP session.
using SmallBlockBuffer = BlockBuffer<default_block_allocator_malloc_free<4096>, 32>;

#endif
