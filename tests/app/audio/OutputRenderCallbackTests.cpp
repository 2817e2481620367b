#include <gtest/gtest.h>

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

}  // namespace
