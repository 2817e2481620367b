#include "app/audio/RingBuffer.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

namespace {

struct RingDeleter {
    void operator()(RingBuffer* ring) const { RingBufferFree(ring); }
};
using Ring = std::unique_ptr<RingBuffer, RingDeleter>;

Ring makeRing(uint64_t requested) {
    Ring ring(RingBufferCreate(requested));
    EXPECT_NE(ring, nullptr);
    return ring;
}

std::vector<float> ramp(std::size_t count, float start) {
    std::vector<float> v(count);
    std::iota(v.begin(), v.end(), start);
    return v;
}

TEST(RingBuffer, CapacityIsSmallestPowerOfTwoAtLeastTwo) {
    const std::pair<uint64_t, uint64_t> cases[] = {
        {0, 2},       {1, 2},       {2, 2},       {3, 4},         {5, 8},
        {1023, 1024}, {1024, 1024}, {1025, 2048}, {16384, 16384}, {48000, 65536},
    };
    for (const auto& [requested, capacity] : cases) {
        Ring ring = makeRing(requested);
        EXPECT_EQ(RingBufferCapacity(ring.get()), capacity) << "requested " << requested;
        EXPECT_EQ(RingBufferAvailableToWrite(ring.get()), capacity);
        EXPECT_EQ(RingBufferAvailableToRead(ring.get()), 0u);
    }
}

TEST(RingBuffer, ImpossibleSizesGiveNullAndFreeOfNullIsHarmless) {
    EXPECT_EQ(RingBufferCreate(UINT64_MAX), nullptr);
    EXPECT_EQ(RingBufferCreate((uint64_t{1} << 63) + 1), nullptr);
    RingBufferFree(nullptr);
}

TEST(RingBuffer, FullRingAcceptsOnlyFreeSpaceAndDropsSurplus) {
    Ring ring = makeRing(8);
    const auto first = ramp(4, 1.0f);
    ASSERT_EQ(RingBufferWrite(ring.get(), first.data(), 4), 4u);
    const auto second = ramp(10, 100.0f);
    EXPECT_EQ(RingBufferWrite(ring.get(), second.data(), 10), 4u);  // 4 free slots
    EXPECT_EQ(RingBufferWrite(ring.get(), second.data(), 10), 0u);  // full
    EXPECT_EQ(RingBufferAvailableToWrite(ring.get()), 0u);
    EXPECT_EQ(RingBufferAvailableToRead(ring.get()), 8u);

    std::vector<float> out(8);
    ASSERT_EQ(RingBufferRead(ring.get(), out.data(), 100), 8u);
    EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4, 100, 101, 102, 103}));  // oldest kept, surplus dropped
}

TEST(RingBuffer, ReadDeliversAtMostWhatIsThere) {
    Ring ring = makeRing(16);
    const auto in = ramp(5, 1.0f);
    RingBufferWrite(ring.get(), in.data(), 5);
    std::vector<float> out(12, -7.0f);
    EXPECT_EQ(RingBufferRead(ring.get(), out.data(), 12), 5u);
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 5), in);
    EXPECT_EQ(out[5], -7.0f);  // nothing written past what was delivered
    EXPECT_EQ(RingBufferRead(ring.get(), out.data(), 12), 0u);
}

TEST(RingBuffer, WriteAndReadWrapAroundTheEndInOrder) {
    Ring ring = makeRing(8);
    std::vector<float> scratch(8);
    const auto filler = ramp(5, 0.0f);
    RingBufferWrite(ring.get(), filler.data(), 5);
    RingBufferRead(ring.get(), scratch.data(), 5);  // both counters at 5: 3 slots before the end

    const auto in = ramp(7, 10.0f);
    ASSERT_EQ(RingBufferWrite(ring.get(), in.data(), 7), 7u);  // 3 at the end, 4 at the start
    std::vector<float> out(7);
    ASSERT_EQ(RingBufferRead(ring.get(), out.data(), 7), 7u);
    EXPECT_EQ(out, in);
}

TEST(RingBuffer, SkipDiscardsTheOldestAcrossTheEndAndAtMostWhatIsThere) {
    Ring ring = makeRing(8);
    std::vector<float> out(8);
    const auto filler = ramp(6, 0.0f);
    RingBufferWrite(ring.get(), filler.data(), 6);
    RingBufferRead(ring.get(), out.data(), 6);  // 2 slots before the end
    const auto in = ramp(7, 10.0f);
    ASSERT_EQ(RingBufferWrite(ring.get(), in.data(), 7), 7u);
    EXPECT_EQ(RingBufferSkip(ring.get(), 4), 4u);  // across the end
    EXPECT_EQ(RingBufferAvailableToRead(ring.get()), 3u);
    EXPECT_EQ(RingBufferAvailableToWrite(ring.get()), 5u);
    ASSERT_EQ(RingBufferRead(ring.get(), out.data(), 1), 1u);
    EXPECT_EQ(out[0], 14.0f);
    EXPECT_EQ(RingBufferSkip(ring.get(), 100), 2u);
    EXPECT_EQ(RingBufferSkip(ring.get(), 1), 0u);
    EXPECT_EQ(RingBufferRead(ring.get(), out.data(), 8), 0u);
}

TEST(RingBuffer, CountersKeepRunningPastCapacity) {
    Ring ring = makeRing(4);
    std::vector<float> out(3);
    float next = 0.0f;
    float expected = 0.0f;
    for (int round = 0; round < 3; ++round) {  // capacity + 5 samples through in small pieces
        const auto in = ramp(3, next);
        ASSERT_EQ(RingBufferWrite(ring.get(), in.data(), 3), 3u);
        next += 3;
        ASSERT_EQ(RingBufferRead(ring.get(), out.data(), 3), 3u);
        for (float v : out) {
            EXPECT_EQ(v, expected++);
        }
    }
    EXPECT_EQ(RingBufferAvailableToRead(ring.get()), 0u);
    EXPECT_EQ(RingBufferAvailableToWrite(ring.get()), 4u);
}

TEST(RingBuffer, ResetEmptiesTheRing) {
    Ring ring = makeRing(8);
    const auto in = ramp(6, 1.0f);
    RingBufferWrite(ring.get(), in.data(), 6);
    RingBufferReset(ring.get());
    EXPECT_EQ(RingBufferAvailableToRead(ring.get()), 0u);
    EXPECT_EQ(RingBufferAvailableToWrite(ring.get()), 8u);
    const auto again = ramp(8, 50.0f);
    EXPECT_EQ(RingBufferWrite(ring.get(), again.data(), 8), 8u);
    std::vector<float> out(8);
    EXPECT_EQ(RingBufferRead(ring.get(), out.data(), 8), 8u);
    EXPECT_EQ(out, again);
}

}  // namespace
