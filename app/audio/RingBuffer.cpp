#include "app/audio/RingBuffer.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

// Storage first, then each side's counter on a cache line of its own. Next to its counter each
// side keeps the last value it saw of the other's counter and reloads that only when the stale
// value would limit the operation: a stale counter can only understate what is available, so the
// result is the same as with a fresh load, and the shared lines move between cores less often.
struct RingBuffer {
    float* data = nullptr;
    uint64_t capacity = 0;
    uint64_t mask = 0;
    alignas(64) std::atomic<uint64_t> writeIndex{0};
    uint64_t writerSeenReadIndex = 0;  // touched by the writer only
    alignas(64) std::atomic<uint64_t> readIndex{0};
    uint64_t readerSeenWriteIndex = 0;  // touched by the reader only
};

namespace {

constexpr std::size_t kCacheLine = 64;
constexpr uint64_t kLargestCapacity = uint64_t{1} << 60;  // keeps capacity * sizeof(float) in range

uint64_t capacityFor(uint64_t requested) {
    uint64_t capacity = 2;
    while (capacity < requested) {
        capacity <<= 1;
    }
    return capacity;
}

// real-time, reader side: how many of count samples can be taken from read index r; reloads the
// writer's counter only when the stale value would limit that.
uint64_t readable(RingBuffer* ring, uint64_t r, uint64_t count) {
    uint64_t w = ring->readerSeenWriteIndex;
    if (w - r < count) {
        w = ring->writeIndex.load(std::memory_order_acquire);
        ring->readerSeenWriteIndex = w;
    }
    const uint64_t fill = w - r;
    return count < fill ? count : fill;
}

}  // namespace

extern "C" {

RingBuffer* RingBufferCreate(uint64_t requestedSize) {
    if (requestedSize > kLargestCapacity) {
        return nullptr;
    }
    const uint64_t capacity = capacityFor(requestedSize);
    auto* ring = new (std::nothrow) RingBuffer();
    if (ring == nullptr) {
        return nullptr;
    }
    const std::size_t bytes = static_cast<std::size_t>(capacity) * sizeof(float);
    // aligned_alloc takes only whole multiples of the alignment; small rings get a whole cache line.
    const std::size_t allocated = (bytes + kCacheLine - 1) / kCacheLine * kCacheLine;
    void* storage = std::aligned_alloc(kCacheLine, allocated);
    if (storage == nullptr) {
        delete ring;
        return nullptr;
    }
    std::memset(storage, 0, allocated);
    ring->data = static_cast<float*>(storage);
    ring->capacity = capacity;
    ring->mask = capacity - 1;
    return ring;
}

void RingBufferFree(RingBuffer* ring) {
    if (ring == nullptr) {
        return;
    }
    std::free(ring->data);
    delete ring;
}

void RingBufferReset(RingBuffer* ring) {
    ring->writeIndex.store(0, std::memory_order_relaxed);
    ring->readIndex.store(0, std::memory_order_relaxed);
    ring->writerSeenReadIndex = 0;
    ring->readerSeenWriteIndex = 0;
}

uint64_t RingBufferCapacity(const RingBuffer* ring) {
    return ring->capacity;
}

// real-time
uint64_t RingBufferAvailableToRead(const RingBuffer* ring) {
    const uint64_t r = ring->readIndex.load(std::memory_order_acquire);
    const uint64_t w = ring->writeIndex.load(std::memory_order_acquire);
    return w - r;
}

// real-time
uint64_t RingBufferAvailableToWrite(const RingBuffer* ring) {
    const uint64_t w = ring->writeIndex.load(std::memory_order_acquire);
    const uint64_t r = ring->readIndex.load(std::memory_order_acquire);
    return ring->capacity - (w - r);
}

// real-time
uint64_t RingBufferWrite(RingBuffer* ring, const float* source, uint64_t count) {
    const uint64_t w = ring->writeIndex.load(std::memory_order_relaxed);
    uint64_t r = ring->writerSeenReadIndex;
    if (ring->capacity - (w - r) < count) {
        r = ring->readIndex.load(std::memory_order_acquire);
        ring->writerSeenReadIndex = r;
    }
    const uint64_t space = ring->capacity - (w - r);
    const uint64_t n = count < space ? count : space;
    if (n == 0) {
        return 0;
    }
    const uint64_t pos = w & ring->mask;
    const uint64_t toEnd = ring->capacity - pos;
    const uint64_t first = n < toEnd ? n : toEnd;
    std::memcpy(ring->data + pos, source, first * sizeof(float));
    if (n > first) {
        std::memcpy(ring->data, source + first, (n - first) * sizeof(float));
    }
    ring->writeIndex.store(w + n, std::memory_order_release);
    return n;
}

// real-time
uint64_t RingBufferRead(RingBuffer* ring, float* destination, uint64_t count) {
    const uint64_t r = ring->readIndex.load(std::memory_order_relaxed);
    const uint64_t n = readable(ring, r, count);
    if (n == 0) {
        return 0;
    }
    const uint64_t pos = r & ring->mask;
    const uint64_t toEnd = ring->capacity - pos;
    const uint64_t first = n < toEnd ? n : toEnd;
    std::memcpy(destination, ring->data + pos, first * sizeof(float));
    if (n > first) {
        std::memcpy(destination + first, ring->data, (n - first) * sizeof(float));
    }
    ring->readIndex.store(r + n, std::memory_order_release);
    return n;
}

// real-time
uint64_t RingBufferSkip(RingBuffer* ring, uint64_t count) {
    const uint64_t r = ring->readIndex.load(std::memory_order_relaxed);
    const uint64_t n = readable(ring, r, count);
    if (n != 0) {
        ring->readIndex.store(r + n, std::memory_order_release);
    }
    return n;
}

}  // extern "C"
