#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "demo/DemoReport.h"
#include "demo/DemoSignal.h"

using namespace velunto;

namespace {

TEST(DemoSignal, OneClickAtTheStartStandsAboveEverythingElse) {
    const auto signal = DemoSignal::make(44100);
    ASSERT_EQ(signal.size(), 88200u);
    EXPECT_EQ(signal[0], DemoSignal::kClickAmplitude);
    float loudest = 0, afterClick = 0;
    for (std::size_t i = 1; i < signal.size(); ++i)
        loudest = std::max(loudest, std::abs(signal[i]));
    for (std::size_t i = 1; i < 11025; ++i)  // room noise only, for a quarter second
        afterClick = std::max(afterClick, std::abs(signal[i]));
    EXPECT_NEAR(loudest, DemoSignal::kVoicePeak, 0.002f);
    EXPECT_LE(afterClick, DemoSignal::kNoiseFloor);
    // Looped, it has exactly one click per period.
    std::vector<float> looped(signal);
    looped.insert(looped.end(), signal.begin(), signal.end());
    EXPECT_EQ(DemoReport::findClicks(looped, 44100), (std::vector<std::size_t>{0, 88200}));
}

TEST(DemoReport, ClicksAreFoundAtTheirPeakOnceEachAndNotInTheirRinging) {
    std::vector<float> mono(48000 * 4, 0.01f);
    // A resampled click: a little pre-ring, its peak, ringing after it.
    for (std::size_t at : {1000u, 60000u, 150000u}) {
        mono[at - 1] = 0.55f;
        mono[at] = 0.8f;
        mono[at + 1] = -0.6f;
        mono[at + 30] = 0.6f;  // ringing well within the gap
    }
    mono[62000] = 0.9f;  // too soon after a click: part of it
    EXPECT_EQ(DemoReport::findClicks(mono, 48000), (std::vector<std::size_t>{1000, 60000, 150000}));
    EXPECT_TRUE(DemoReport::findClicks(std::vector<float>(48000, 0.4f), 48000).empty());
}

TEST(DemoReport, DropoutsAreSilentStretchesBetweenFirstAndLastSound) {
    std::vector<float> mono(10000, 0.001f);
    std::fill(mono.begin(), mono.begin() + 500, 0.0f);          // before the first sound: start-up, not a dropout
    std::fill(mono.begin() + 2000, mono.begin() + 2512, 0.0f);  // one cycle missing
    std::fill(mono.begin() + 3000, mono.begin() + 3023, 0.0f);  // too short: a zero crossing of a quiet signal
    std::fill(mono.begin() + 4000, mono.begin() + 4024, 0.0f);  // just long enough
    mono[6000] = -0.0f;                                         // negative zero is silence too
    std::fill(mono.begin() + 6001, mono.begin() + 6100, 0.0f);
    std::fill(mono.begin() + 9000, mono.end(), 0.0f);  // after the last sound: the end of the recording
    const auto dropouts = DemoReport::findDropouts(mono, 24);
    ASSERT_EQ(dropouts.size(), 3u);
    EXPECT_EQ(dropouts[0].start, 2000u);
    EXPECT_EQ(dropouts[0].frames, 512u);
    EXPECT_EQ(dropouts[1].start, 4000u);
    EXPECT_EQ(dropouts[1].frames, 24u);
    EXPECT_EQ(dropouts[2].start, 6000u);
    EXPECT_EQ(dropouts[2].frames, 100u);
    EXPECT_TRUE(DemoReport::findDropouts(std::vector<float>(100, 0.0f), 24).empty());
    EXPECT_TRUE(DemoReport::findDropouts({}, 24).empty());
}

TEST(DemoReport, DropoutsAreMatchedToStallsOfTheMachine) {
    const auto path = std::filesystem::temp_directory_path() / "velunto-stalls-test.txt";
    std::ofstream(path) << "1000000000 12000000\nkaputt\n5000000000 30000000\n";
    const auto stalls = DemoReport::readStalls(path);
    std::filesystem::remove(path);
    ASSERT_EQ(stalls.size(), 2u);
    EXPECT_EQ(stalls[1].due, 5'000'000'000u);
    EXPECT_EQ(stalls[1].late, 30'000'000u);
    const std::uint64_t margin = 100'000'000;
    // Within the first stall's widened span: 0.9 s, 1.112 s; outside: 0.89 s, 1.2 s; in the second: 5.13 s.
    EXPECT_EQ(DemoReport::countDuringStalls({900'000'000, 1'112'000'000, 5'130'000'000}, stalls, margin), 3u);
    EXPECT_EQ(DemoReport::countDuringStalls({890'000'000, 1'112'000'001, 3'000'000'000, 5'130'000'001}, stalls, margin),
              0u);
    EXPECT_EQ(DemoReport::countDuringStalls({1'000'000'000}, {}, margin), 0u);
    EXPECT_TRUE(DemoReport::readStalls("/nonexistent/stalls.txt").empty());
}

TEST(DemoReport, PairsClicksWithWhatWasHeardAndSeen) {
    const std::uint64_t s = 1'000'000'000;
    const std::vector<std::uint64_t> emitted{2 * s, 4 * s, 6 * s, 8 * s};
    // Heard 55 ms later, except the last (the recording had ended); a stray one long after.
    const std::vector<std::uint64_t> heard{2 * s + 55'000'000, 4 * s + 55'000'000, 6 * s + 55'000'000, 7 * s};
    // Flash frames captured 10 ms after the click, seen 60 ms after capture; the one for 2 s was
    // captured too late to be that flash.
    const std::vector<DemoFlash> flashes{{2 * s + 400'000'000, 2 * s + 340'000'000},
                                         {4 * s + 70'000'000, 4 * s + 10'000'000},
                                         {6 * s + 70'000'000, 6 * s + 10'000'000},
                                         {8 * s + 70'000'000, 8 * s + 10'000'000}};
    const auto timing = DemoReport::pair(emitted, heard, flashes);
    EXPECT_EQ(timing.latenciesMs, (std::vector<double>{55, 55, 55}));
    EXPECT_EQ(timing.videoDelaysMs, (std::vector<double>{60, 60, 60}));
    EXPECT_EQ(timing.frameLagsMs, (std::vector<double>{10, 10, 10}));
    // Seen 60 ms after a capture taken as the click's instant, heard 55 ms after it.
    EXPECT_EQ(timing.avOffsetsMs, (std::vector<double>{5, 5}));
}

TEST(DemoReport, MedianAndFlashFile) {
    EXPECT_EQ(DemoReport::median({}), std::nullopt);
    EXPECT_EQ(DemoReport::median({3, 1, 2}), 2.0);
    EXPECT_EQ(DemoReport::median({4, 1, 3, 2}), 2.5);

    const auto path = std::filesystem::temp_directory_path() / "velunto-flashes-test.txt";
    std::ofstream(path) << "2000 1000\ngarbage\n500 900\n3000 2500\n";
    const auto flashes = DemoReport::readFlashes(path);
    ASSERT_EQ(flashes.size(), 2u) << "a line seen before its capture is not a flash";
    EXPECT_EQ(flashes[1].seen, 3000u);
    EXPECT_EQ(flashes[1].captured, 2500u);
    std::filesystem::remove(path);
    EXPECT_TRUE(DemoReport::readFlashes("/nonexistent/flashes.txt").empty());
}

}  // namespace
