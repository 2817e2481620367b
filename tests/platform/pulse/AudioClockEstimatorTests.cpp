#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <thread>

#include "platform/pulse/AudioClockEstimator.h"

using namespace velunto;

namespace {

constexpr std::uint64_t kSecond = 1'000'000'000;

// A stream at `rate` delivering `chunk` frames at a time, each delivery late by up to `jitter` ns.
struct Stream {
    double rate;
    std::uint32_t chunk;
    std::uint64_t jitter;
    std::uint64_t start = 5 * kSecond;
    std::mt19937 random{7};
    double frames = 0;

    // Feeds the estimator until `seconds` of stream time have passed.
    void run(AudioClockEstimator& clock, double seconds) {
        std::uniform_int_distribution<std::uint64_t> lateness(0, jitter);
        while (frames < seconds * rate) {
            frames += chunk;
            const auto due = start + static_cast<std::uint64_t>(frames / rate * 1e9);
            clock.observe(due + lateness(random), frames);
        }
    }
    double truePosition(std::uint64_t hostTime) const { return (static_cast<double>(hostTime - start)) * rate / 1e9; }
};

}  // namespace

TEST(AudioClockEstimatorTest, LocksOntoAStreamThatDriftsFromItsNominalRate) {
    AudioClockEstimator clock(48000);
    Stream stream{48000 * (1 + 300e-6), 256, 1'500'000};
    stream.run(clock, 20);
    const AudioDeviceTimeline timeline = clock.timeline();
    EXPECT_NEAR(timeline.framesPerSecond, stream.rate, 48000 * 60e-6);
    // Predicts the stream's position a second ahead within a millisecond (frames arrive late by the jitter's mean).
    const std::uint64_t later = timeline.anchorHostTime + kSecond;
    const double meanLateFrames = 0.75e-3 * stream.rate;
    EXPECT_NEAR(timeline.sampleTimeAt(later), stream.truePosition(later) - meanLateFrames, 48);
    // And the inverse agrees.
    EXPECT_NEAR(static_cast<double>(timeline.hostTimeAt(timeline.sampleTimeAt(later))), static_cast<double>(later),
                1000.0);
}

TEST(AudioClockEstimatorTest, KeepsTheRateWithinHalfAPercentWhateverItIsFed) {
    AudioClockEstimator clock(44100);
    Stream stream{44100 * 1.03, 512, 0};
    stream.run(clock, 10);
    EXPECT_LE(clock.timeline().framesPerSecond, 44100 * 1.005 + 1e-6);
}

TEST(AudioClockEstimatorTest, StartsAgainAfterAJumpAndAfterReset) {
    AudioClockEstimator clock(48000);
    Stream stream{48000, 240, 500'000};
    stream.run(clock, 3);
    // The stream restarts from zero (a new connection): the timeline follows at once.
    clock.observe(stream.start + 4 * kSecond, 240);
    AudioDeviceTimeline timeline = clock.timeline();
    EXPECT_DOUBLE_EQ(timeline.anchorSampleTime, 240);
    EXPECT_EQ(timeline.anchorHostTime, stream.start + 4 * kSecond);
    EXPECT_DOUBLE_EQ(timeline.framesPerSecond, 48000);

    clock.reset(123);
    timeline = clock.timeline();
    EXPECT_EQ(timeline.anchorHostTime, 123u);
    EXPECT_DOUBLE_EQ(timeline.anchorSampleTime, 0);
    clock.observe(10 * kSecond, 5000);
    EXPECT_DOUBLE_EQ(clock.timeline().anchorSampleTime, 5000);
}

TEST(AudioClockEstimatorTest, ReadersOnOtherThreadsNeverSeeATornTimeline) {
    AudioClockEstimator clock(48000);
    std::atomic<bool> done{false};
    std::thread observer([&] {
        // Every published state satisfies position == host time in microseconds, so a torn read shows.
        for (std::uint64_t i = 1; i < 200000; ++i)
            clock.observe(i * 1000 * kSecond, static_cast<double>(i) * 1000 * 48000);
        done = true;
    });
    std::uint64_t torn = 0;
    while (!done) {
        const AudioDeviceTimeline timeline = clock.timeline();
        if (timeline.anchorHostTime != 0 &&
            timeline.anchorSampleTime != static_cast<double>(timeline.anchorHostTime / kSecond) * 48000)
            ++torn;
    }
    observer.join();
    EXPECT_EQ(torn, 0u);
}
