#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/pulse/SampleTimeBuffer.h"

using namespace velunto;

namespace {

// Frames whose every sample tells the sample time it belongs to.
std::vector<float> framesFrom(std::int64_t time, std::uint32_t frames, std::uint32_t channels) {
    std::vector<float> samples(std::size_t{frames} * channels);
    for (std::uint32_t f = 0; f < frames; ++f)
        for (std::uint32_t c = 0; c < channels; ++c)
            samples[std::size_t{f} * channels + c] = static_cast<float>(time + f) + 0.25f * static_cast<float>(c);
    return samples;
}

}  // namespace

TEST(SampleTimeBufferTest, ReadsFramesAtTheirSampleTimeAndSilenceElsewhere) {
    SampleTimeBuffer buffer(2, 1000);
    EXPECT_EQ(buffer.capacity(), 1024u);
    buffer.write(500, framesFrom(500, 100, 2).data(), 100);

    std::vector<float> out(2 * 200, -1.0f);
    EXPECT_EQ(buffer.read(450, out.data(), 200), 100u);
    for (std::uint32_t f = 0; f < 200; ++f) {
        const bool held = f >= 50 && f < 150;
        EXPECT_EQ(out[2 * f], held ? static_cast<float>(450 + f) : 0.0f) << f;
        EXPECT_EQ(out[2 * f + 1], held ? static_cast<float>(450 + f) + 0.25f : 0.0f) << f;
    }
}

TEST(SampleTimeBufferTest, NeverGivesAFrameOfAnotherLap) {
    SampleTimeBuffer buffer(1, 256);
    buffer.write(0, framesFrom(0, 256, 1).data(), 256);
    // The same slots one lap later and one lap earlier hold nothing for those times.
    std::vector<float> out(256, -1.0f);
    EXPECT_EQ(buffer.read(256, out.data(), 256), 0u);
    EXPECT_EQ(buffer.read(-256, out.data(), 256), 0u);
    // A later lap replaces the earlier one slot by slot.
    buffer.write(300, framesFrom(300, 20, 1).data(), 20);
    EXPECT_EQ(buffer.read(0, out.data(), 256), 236u);
    EXPECT_EQ(out[43], 43.0f);  // time 300 lives in slot 44
    EXPECT_EQ(out[44], 0.0f);
    EXPECT_EQ(out[63], 0.0f);
    EXPECT_EQ(out[64], 64.0f);
    EXPECT_EQ(buffer.read(300, out.data(), 20), 20u);
    EXPECT_EQ(out[19], 319.0f);

    buffer.clear();
    EXPECT_EQ(buffer.read(300, out.data(), 20), 0u);
}

TEST(SampleTimeBufferTest, AReaderRacingTheWriterSeesOnlyRightFramesOrSilence) {
    constexpr std::uint32_t kChannels = 2;
    constexpr std::uint32_t kBlock = 64;
    constexpr std::uint64_t kReads = 20000;
    SampleTimeBuffer buffer(kChannels, 512);  // small, so that the writer laps the reader now and then
    std::atomic<std::int64_t> written{0};
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::int64_t time = 0; !done.load(std::memory_order_relaxed); time += kBlock) {
            const std::vector<float> frames = framesFrom(time, kBlock, kChannels);
            buffer.write(time, frames.data(), kBlock);
            written.store(time + kBlock, std::memory_order_release);
        }
    });
    std::vector<float> out(kBlock * kChannels);
    std::uint64_t held = 0;
    std::uint64_t wrong = 0;
    for (std::uint64_t read = 0; read < kReads; ++read) {
        // Alternately the block just written (mostly still there) and one the writer is about to lap.
        const std::int64_t behind = read % 2 == 0 ? kBlock : 480;
        const std::int64_t time = std::max<std::int64_t>(0, written.load(std::memory_order_acquire) - behind);
        held += buffer.read(time, out.data(), kBlock);
        for (std::uint32_t f = 0; f < kBlock; ++f) {
            const float first = out[f * kChannels];
            const float second = out[f * kChannels + 1];
            const bool silent = first == 0.0f && second == 0.0f;
            const bool right = first == static_cast<float>(time + f) && second == first + 0.25f;
            wrong += silent || right ? 0 : 1;
        }
    }
    done = true;
    writer.join();
    EXPECT_EQ(wrong, 0u);
    EXPECT_GT(held, 0u);
}
