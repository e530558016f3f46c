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

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VEMNET_REGION_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define VEMNET_REGION_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define VEMNET_REGION_POISON(p, n) ((void)(p), (void)(n))
#define VEMNET_REGION_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

// Regions freed on a thread are kept (up to 2 MiB per thread) and handed out
// again. A queue that fills and drains over and over would otherwise ask the
// heap for the same region each time, and regions of 128 KiB and more come
// from mmap: a system call and fresh page faults per fill.
//
// Each region carries a header in front of the bytes the buffer sees:
//
//   | next (8) | bytes (8) | region of `bytes` ...                 |
//   ^ malloc'd             ^ what allocate() returns
//
// A region may be freed on another thread than the one that made it; it
// then joins that thread's cache. Kept regions are keyed by their size in
// 4096-byte units, so queues of different block sizes share one cache.
namespace block_region {

const size_t kHeader = 16;
const size_t kUnit = 4096;
const size_t kMaxUnits = 64;              // 256 KiB, the largest queue
const size_t kMaxCached = size_t(2) << 20;

struct Node {
    Node* next;
    size_t bytes;
};

// Plain data, so that it stays usable while the thread's destructors run;
// `closed` sends every later release straight to free.
struct Cache {
    Node* heads[kMaxUnits + 1];
    size_t cached;
    bool closed;
};

inline Cache& ThreadCache() {
    static thread_local Cache cache;   // zero-initialised
    return cache;
}

inline void Drain(Cache& c) {
    for (Node*& head : c.heads) {
        while (head) {
            Node* n = head;
            head = n->next;
            VEMNET_REGION_UNPOISON(reinterpret_cast<char*>(n) + kHeader, n->bytes);
            std::free(n);
        }
    }
    c.cached = 0;
}

struct Closer {
    ~Closer() {
        Cache& c = ThreadCache();
        Drain(c);
        c.closed = true;
    }
};

inline void* Allocate(size_t bytes) {
    Cache& c = ThreadCache();
    size_t units = bytes / kUnit;
    if (bytes % kUnit == 0 && units <= kMaxUnits) {
        Node* n = c.heads[units];
        if (n) {
            VEMNET_REGION_UNPOISON(reinterpret_cast<char*>(n) + kHeader, bytes);
            c.heads[units] = n->next;
            c.cached -= bytes;
            return reinterpret_cast<char*>(n) + kHeader;
        }
    }
    char* p = static_cast<char*>(std::malloc(kHeader + bytes));
    if (!p) return nullptr;
    reinterpret_cast<Node*>(p)->bytes = bytes;
    return p + kHeader;
}

inline void Release(void* region) {
    Node* n = reinterpret_cast<Node*>(static_cast<char*>(region) - kHeader);
    Cache& c = ThreadCache();
    size_t units = n->bytes / kUnit;
    if (!c.closed && n->bytes % kUnit == 0 && units <= kMaxUnits && c.cached + n->bytes <= kMaxCached) {
        // The first region kept arranges for the cache to be emptied when
        // the thread ends.
        static thread_local Closer closer;
        (void)closer;
        n->next = c.heads[units];
        c.heads[units] = n;
        c.cached += n->bytes;
        // Only the bytes are poisoned: the leak checker ignores pointers
        // in poisoned memory, and the links must stay visible to it.
        VEMNET_REGION_POISON(reinterpret_cast<char*>(n) + kHeader, n->bytes);
        return;
    }
    std::free(n);
}

}  // namespace block_region

template <unsigned BlockSize>
struct default_block_allocator_malloc_free {
    static const unsigned block_size = BlockSize;
    static void* allocate(size_t bytes) { return block_region::Allocate(bytes); }
    static void release(void* p) { block_region::Release(p); }
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
