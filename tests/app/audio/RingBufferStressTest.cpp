// Two threads push tens of millions of samples through a small ring in random block sizes; the
// reader checks that every sample arrives once, in order. Also built with ThreadSanitizer.
#include "app/audio/RingBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

namespace {

#ifdef VELUNTO_TSAN
constexpr uint64_t kTotal = 20'000'000;  // TSan is several times slower
#else
constexpr uint64_t kTotal = 40'000'000;
#endif

// Samples carry their sequence number modulo 2^24 (exact in float).
float sampleFor(uint64_t n) {
    return static_cast<float>(n & 0xFFFFFF);
}

void runTransfer(uint64_t requestedSize, uint64_t maxBlock, unsigned seed) {
    RingBuffer* ring = RingBufferCreate(requestedSize);
    ASSERT_NE(ring, nullptr);
    std::atomic<bool> readerFailed{false};

    std::thread writer([&] {
        std::mt19937_64 rng(seed);
        std::uniform_int_distribution<uint64_t> blockSize(1, maxBlock);
        std::vector<float> block(maxBlock);
        uint64_t sent = 0;
        while (sent < kTotal && !readerFailed.load(std::memory_order_relaxed)) {
            const uint64_t want = std::min(blockSize(rng), kTotal - sent);
            for (uint64_t i = 0; i < want; ++i) {
                block[i] = sampleFor(sent + i);
            }
            // What a full ring refused is offered again with the next block.
            const uint64_t n = RingBufferWrite(ring, block.data(), want);
            sent += n;
            if (n == 0) {
                std::this_thread::yield();
            }
        }
    });

    std::mt19937_64 rng(seed ^ 0x5bd1e995u);
    std::uniform_int_distribution<uint64_t> blockSize(1, maxBlock);
    std::vector<float> block(maxBlock);
    uint64_t received = 0;
    uint64_t mismatches = 0;
    while (received < kTotal && mismatches == 0) {
        const uint64_t n = RingBufferRead(ring, block.data(), blockSize(rng));
        if (n > RingBufferCapacity(ring)) {
            ++mismatches;
        }
        for (uint64_t i = 0; i < n; ++i) {
            if (block[i] != sampleFor(received + i)) {
                ++mismatches;
                break;
            }
        }
        received += n;
        if (n == 0) {
            std::this_thread::yield();
        }
    }
    readerFailed = mismatches != 0;
    writer.join();

    EXPECT_EQ(mismatches, 0u) << "out-of-order or corrupted sample near " << received;
    EXPECT_EQ(received, kTotal);
    EXPECT_EQ(RingBufferAvailableToRead(ring), 0u);
    EXPECT_EQ(RingBufferAvailableToWrite(ring), RingBufferCapacity(ring));
    RingBufferFree(ring);
}

TEST(RingBufferStress, SmallRingRandomBlocks) {
    runTransfer(64, 100, 1);
}

TEST(RingBufferStress, PipelineSizedRingAudioBlocks) {
    runTransfer(48000, 4096, 2);
}

}  // namespace
