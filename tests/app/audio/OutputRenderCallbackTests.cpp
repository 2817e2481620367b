#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <numeric>
#include <vector>

#include "app/audio/OutputRenderContext.h"
#include "platform/coreaudio/AudioBufferListStorage.h"

using namespace velunto;

namespace {

// A ring filled with 1, 2, 3, ... so that every played sample tells where it came from.
class RenderCallback : public ::testing::Test {
protected:
    RenderCallback() : ring(RingBufferCreate(16384)), scratch(4096) {
        context.ringBuffer = ring;
        context.scratch = scratch.data();
    }
    ~RenderCallback() override { RingBufferFree(ring); }

    void fill(std::size_t count) {
        std::vector<float> values(count);
        std::iota(values.begin(), values.end(), next);
        next += static_cast<float>(count);
        ASSERT_EQ(RingBufferWrite(ring, values.data(), count), count);
    }

    // Two channel buffers, each prefilled with garbage.
    AudioBufferListStorage render(UInt32 frames) {
        AudioBufferListStorage buffers({1, 1}, frames);
        for (UInt32 b = 0; b < 2; ++b)
            std::fill_n(buffers.samples(b), frames, -7.0f);
        AudioUnitRenderActionFlags flags = 0;
        EXPECT_EQ(outputRenderCallback(&context, &flags, nullptr, 0, frames, buffers.list()), 0);
        EXPECT_EQ(flags, 0u);
        return buffers;
    }

    std::uint64_t fillLevel() const { return RingBufferAvailableToRead(ring); }

    RingBuffer* ring;
    std::vector<float> scratch;
    OutputRenderContext context;
    float next = 1.0f;
};

TEST_F(RenderCallback, InsideTheBandPlaysExactlyWhatItReads) {
    fill(1000);
    auto out = render(512);
    for (UInt32 i = 0; i < 512; ++i)
        ASSERT_EQ(out.samples(0)[i], static_cast<float>(i + 1));
    EXPECT_EQ(fillLevel(), 488u);
    // Both channels get the same samples.
    EXPECT_TRUE(std::equal(out.samples(0), out.samples(0) + 512, out.samples(1)));
}

TEST_F(RenderCallback, AboveTheBandOneSampleIsDropped) {
    fill(2000);
    auto out = render(512);
    for (UInt32 i = 0; i < 512; ++i)
        ASSERT_EQ(out.samples(1)[i], static_cast<float>(i + 1));
    EXPECT_EQ(fillLevel(), 2000u - 513u);
    auto after = render(1);  // sample 513 is gone
    EXPECT_EQ(after.samples(0)[0], 514.0f);
}

TEST_F(RenderCallback, BelowTheBandTheLastSampleIsRepeatedThenZeros) {
    fill(300);
    auto out = render(512);
    for (UInt32 i = 0; i < 300; ++i)
        ASSERT_EQ(out.samples(0)[i], static_cast<float>(i + 1));
    EXPECT_EQ(out.samples(0)[300], 300.0f);
    for (UInt32 i = 301; i < 512; ++i)
        ASSERT_EQ(out.samples(0)[i], 0.0f) << i;
    EXPECT_EQ(fillLevel(), 0u);

    // With enough below the band for a whole callback: wanted - 1 read, last one repeated.
    fill(400);
    out = render(256);
    EXPECT_EQ(out.samples(1)[254], 301.0f + 254);
    EXPECT_EQ(out.samples(1)[255], 301.0f + 254);
    EXPECT_EQ(fillLevel(), 400u - 255u);
}

// After the ring ran dry the callback stays silent, reading nothing, until a callback would leave
// the target behind; then it plays from the oldest sample on.
TEST_F(RenderCallback, AfterRunningDrySilenceUntilTheRingHoldsTheTargetAgain) {
    auto out = render(256);
    for (UInt32 b = 0; b < 2; ++b)
        for (UInt32 i = 0; i < 256; ++i)
            ASSERT_EQ(out.samples(b)[i], 0.0f);

    fill(1000);
    out = render(64);
    EXPECT_EQ(out.samples(0)[0], 0.0f);
    EXPECT_EQ(out.samples(1)[63], 0.0f);
    EXPECT_EQ(fillLevel(), 1000u) << "936 would be left: under the target";
    out = render(40);
    EXPECT_EQ(out.samples(0)[0], 1.0f);
    EXPECT_EQ(out.samples(1)[39], 40.0f);
    EXPECT_EQ(fillLevel(), 960u);
}

TEST_F(RenderCallback, MissingBuffersAreSkippedAndAMissingListReadsNothing) {
    fill(1100);
    AudioBufferListStorage buffers({1, 1}, 64);
    buffers.list()->mBuffers[0].mData = nullptr;  // skipped
    EXPECT_EQ(outputRenderCallback(&context, nullptr, nullptr, 0, 64, buffers.list()), 0);
    EXPECT_EQ(buffers.samples(1)[63], 64.0f);
    EXPECT_EQ(outputRenderCallback(&context, nullptr, nullptr, 0, 64, nullptr), 0);
    EXPECT_EQ(fillLevel(), 1100u - 64u) << "no buffer list: nothing read";
}

TEST_F(RenderCallback, FramesBeyondTheScratchAreSilentAndTheSurplusIsStillDropped) {
    fill(10000);
    auto out = render(5000);
    for (UInt32 i = 0; i < 4096; ++i)
        ASSERT_EQ(out.samples(0)[i], static_cast<float>(i + 1));
    for (UInt32 i = 4096; i < 5000; ++i)
        ASSERT_EQ(out.samples(0)[i], 0.0f);
    EXPECT_EQ(fillLevel(), 10000u - 4097u) << "4096 played, one dropped";
    EXPECT_EQ(render(1).samples(0)[0], 4098.0f);  // and 4099 dropped

    // Exactly the scratch's size, above the band: the surplus sample still leaves the ring.
    const auto before = fillLevel();
    out = render(4096);
    EXPECT_EQ(out.samples(1)[0], 4100.0f);
    EXPECT_EQ(fillLevel(), before - 4097u);
}

TEST_F(RenderCallback, ALargeFillThatIsLessThanTheCallbackPlaysItRepeatsTheLastAndPads) {
    // 2000 samples are above the band, but nothing would remain after a read of 4096: the callback
    // stretches, as for any ring that cannot cover it.
    fill(2000);
    auto out = render(4096);
    EXPECT_EQ(out.samples(0)[1999], 2000.0f);
    EXPECT_EQ(out.samples(0)[2000], 2000.0f);
    EXPECT_EQ(out.samples(0)[2001], 0.0f);
    EXPECT_EQ(fillLevel(), 0u);
}

// What a soak reads: gaps once playing, and the band's corrections, which are no gaps.
TEST_F(RenderCallback, CountsGapsAfterPlayingBeganAndTheBandsCorrections) {
    render(256);  // empty before anything played: the start, not a gap
    EXPECT_EQ(context.underruns.load(), 0u);
    fill(2000);
    render(512);  // 1488 would remain, above the band: one dropped
    EXPECT_EQ(context.droppedSamples.load(), 1u);
    fill(0);
    render(512);  // 975 remain: inside
    render(512);  // 463 would remain, below: one repeated
    EXPECT_EQ(context.repeatedSamples.load(), 1u);
    EXPECT_EQ(context.underruns.load(), 0u);
    render(512);  // 464 in the ring: a short callback
    EXPECT_EQ(context.underruns.load(), 1u);
    EXPECT_EQ(context.repeatedSamples.load(), 1u) << "padding a gap is no clock correction";
    render(512);  // found empty
    EXPECT_EQ(context.underruns.load(), 2u);
    render(512);  // waiting for the target: silent, not counted again
    EXPECT_EQ(context.underruns.load(), 2u);
}

TEST_F(RenderCallback, TheBandIsWhatRemainsAfterTheRead) {
    fill(991);  // 479 would remain: one sample is repeated
    auto out = render(512);
    EXPECT_EQ(out.samples(0)[510], 511.0f);
    EXPECT_EQ(out.samples(0)[511], 511.0f);
    EXPECT_EQ(fillLevel(), 991u - 511u);
    RingBufferReset(ring);
    next = 1;
    fill(992 + 960);  // 1440 remain: inside
    render(512);
    EXPECT_EQ(fillLevel(), 1440u);
    fill(513);  // 1441 would remain: one sample more is dropped
    render(512);
    EXPECT_EQ(fillLevel(), 1440u);
}

// The crossfade of a catch-up: sample i of the callback mixes the stretch that would have been played
// (1, 2, ...) fading out with the one `excess` later fading in, at equal power.
float faded(std::int64_t i, std::int64_t wanted, float first, std::int64_t excess) {
    const double angle = std::numbers::pi / 2 * (static_cast<double>(i) + 0.5) / static_cast<double>(wanted);
    return static_cast<float>((first + static_cast<double>(i)) * std::cos(angle) +
                              (first + static_cast<double>(excess + i)) * std::sin(angle));
}

// Input and output in step with 4800 samples in the ring (100 ms): one sample per callback would take
// 36 s to work that off. After half a second of callbacks that never left less, the next one skips
// what stands above the target, and the ring holds the target from then on.
TEST_F(RenderCallback, AStandingBacklogIsSkippedAfterHalfASecondWithACrossfade) {
    fill(4800);
    std::int64_t played = 0;
    float expected = 1.0f;
    while (context.catchUps.load() == 0) {
        ASSERT_LT(played, 30000) << "no catch-up after " << played << " frames";
        const auto before = static_cast<std::int64_t>(fillLevel());
        const auto droppedBefore = context.droppedSamples.load();
        fill(512);
        auto out = render(512);
        if (context.catchUps.load() != 0) {
            // Fill before the read was before + 512; the window's least was what the previous
            // callbacks left, one sample per callback lower each time.
            const std::int64_t excess = static_cast<std::int64_t>(context.skippedSamples.load());
            EXPECT_EQ(before + 512 - 512 - excess, 960) << "the target is what stays";
            for (std::int64_t i : {0, 1, 255, 256, 510, 511})
                ASSERT_NEAR(out.samples(0)[i], faded(i, 512, expected, excess), 0.05f) << i;
            EXPECT_TRUE(std::equal(out.samples(0), out.samples(0) + 512, out.samples(1)));
            expected += static_cast<float>(excess + 512);
            break;
        }
        ASSERT_EQ(out.samples(0)[0], expected);
        expected = out.samples(0)[511] + 1.0f + static_cast<float>(context.droppedSamples.load() - droppedBefore);
        played += 512;
    }
    EXPECT_GE(played, 24000);
    EXPECT_LE(played, 24000 + 512);
    // Playing on continues right after the stretch faded in, with the ring at the target.
    for (int k = 0; k < 100; ++k) {
        fill(512);
        auto out = render(512);
        ASSERT_EQ(out.samples(0)[0], expected) << k;
        expected = out.samples(0)[511] + 1.0f;
        ASSERT_EQ(fillLevel(), 960u);
    }
    EXPECT_EQ(context.catchUps.load(), 1u);
}

// Bursty input (4096 at once every eight callbacks) peaks far above the band, but its lowest fill
// does not: nothing is skipped.
TEST_F(RenderCallback, BurstyInputIsNoBacklog) {
    fill(960);
    for (int burst = 0; burst < 100; ++burst) {
        fill(4096);
        for (int k = 0; k < 8; ++k)
            render(512);
    }
    EXPECT_GT(context.droppedSamples.load(), 0u) << "the peaks were above the band";
    EXPECT_EQ(context.catchUps.load(), 0u);
    EXPECT_EQ(context.skippedSamples.load(), 0u);
}

// The skip never leaves less than the target, however much was found before; with a stretch shorter
// than the callback the second one starts inside the first.
TEST_F(RenderCallback, ACatchUpLeavesTheTargetAndMayOverlapTheCallback) {
    fill(3000);
    context.catchUpFrames = 5000;
    auto out = render(512);
    EXPECT_EQ(context.skippedSamples.load(), 3000u - 512u - 960u);
    EXPECT_EQ(fillLevel(), 960u);
    EXPECT_NEAR(out.samples(1)[511], faded(511, 512, 1.0f, 1528), 0.05f);
    EXPECT_EQ(render(1).samples(0)[0], 3000.0f - 960.0f + 1.0f);

    RingBufferReset(ring);
    next = 1;
    fill(8000);
    context.catchUpFrames = 1500;
    out = render(4096);
    for (std::int64_t i : {0, 1000, 2595, 2596, 4095})
        ASSERT_NEAR(out.samples(0)[i], faded(i, 4096, 1.0f, 1500), 0.05f) << i;
    EXPECT_EQ(fillLevel(), 8000u - 4096u - 1500u);
    EXPECT_EQ(render(1).samples(0)[0], 4096.0f + 1500.0f + 1.0f);
    EXPECT_EQ(context.catchUps.load(), 2u);
    EXPECT_EQ(context.catchUpFrames, 0);
}

// A pending catch-up is dropped when the backlog went meanwhile, and the silence after running dry
// starts the window afresh.
TEST_F(RenderCallback, APendingCatchUpLapsesWithTheBacklog) {
    fill(1200);
    context.catchUpFrames = 3000;
    render(512);  // 688 left: under the target, nothing to skip
    EXPECT_EQ(context.catchUps.load(), 0u);
    EXPECT_EQ(context.catchUpFrames, 0);
    EXPECT_EQ(fillLevel(), 1200u - 512u);

    context.windowMinimum = 5000;
    context.windowFrames = 20000;
    render(1024);  // dry: silence
    render(1024);
    EXPECT_EQ(context.windowFrames, 0);
    EXPECT_EQ(context.windowMinimum, INT64_MAX);
}

}  // namespace
