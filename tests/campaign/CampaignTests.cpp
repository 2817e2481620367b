#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/mach/RealTimeContext.h"
#include "tests/campaign/RealTimeViolations.h"
#include "tests/campaign/SimulationCampaign.h"
#include "tests/campaign/StaleAudioDetector.h"

namespace velunto {
namespace {

SimulationCampaign::Options options(std::uint64_t seed, std::chrono::seconds duration) {
    SimulationCampaign::Options o;
    o.seed = seed;
    o.duration = duration;
    o.driverBundle = VELUNTO_MIC_DRIVER_BUNDLE;
    return o;
}

// The checkers themselves must be able to fail.
TEST(RealTimeViolations, CountsLocksAndAllocationsOnlyInsideACallback) {
    RealTimeViolations::reset();
    std::mutex mutex;
    {
        std::lock_guard lock(mutex);
        auto outside = std::make_unique<int>(1);
        EXPECT_EQ(*outside, 1);
    }
    EXPECT_EQ(RealTimeViolations::locks(), 0u);
    EXPECT_EQ(RealTimeViolations::allocations(), 0u);
    {
        const RealTimeContext::Scope realTime;
        std::lock_guard lock(mutex);
        auto inside = std::make_unique<std::vector<float>>(16);
        EXPECT_EQ(inside->size(), 16u);
    }
    EXPECT_EQ(RealTimeViolations::locks(), 1u);
    EXPECT_EQ(RealTimeViolations::allocations(), 2u);
    RealTimeViolations::reset();
}

TEST(StaleAudioDetector, NewSoundPassesLapRepeatsAndSoundWithoutFeedDoNot) {
    constexpr std::uint64_t lap = 1024;
    std::vector<float> voice(4800);
    for (std::size_t i = 0; i < voice.size(); ++i)
        voice[i] =
            static_cast<float>(std::sin(0.37 * static_cast<double>(i)) * std::sin(0.0011 * static_cast<double>(i * i)));
    std::vector<float> silence(2000, 0.0f);

    StaleAudioDetector detector(lap);
    ASSERT_FALSE(detector.add(voice.data(), 3000, true));
    EXPECT_FALSE(detector.add(silence.data(), 48, false)) << "silence is never stale";
    // A delay effect plays again what came 300 samples before: no lap, no fault.
    ASSERT_FALSE(detector.add(voice.data() + 2700, 52, true));
    // At 3100 the loop hands out what it handed out at 1052, two laps ago.
    const auto repeated = detector.add(voice.data() + 1052, 100, true);
    ASSERT_TRUE(repeated);
    EXPECT_NE(repeated->find("wiederholen die bei 1052"), std::string::npos) << *repeated;

    StaleAudioDetector unfed(lap);
    const auto leftover = unfed.add(voice.data(), 10, false);
    ASSERT_TRUE(leftover);
    EXPECT_NE(leftover->find("obwohl nichts einspeist"), std::string::npos);

    // Beyond its memory an old stretch no longer counts.
    StaleAudioDetector forgetful(lap);
    EXPECT_FALSE(forgetful.add(voice.data(), 100, true));
    std::vector<float> noise(StaleAudioDetector::kMemory + 100);
    std::uint32_t x = 7;
    for (auto& v : noise) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<float>(x >> 8) / 16777216.0f - 0.5f;
    }
    EXPECT_FALSE(forgetful.add(noise.data(), noise.size(), true));
    EXPECT_FALSE(forgetful.add(voice.data(), 100, true));
}

// Two damaged files in a row, with nothing saved between: the second finds no file at all.
TEST(SimulationCampaign, DamagingAMissingOrTinySettingsFileLeavesAnEmptyOrShorterOne) {
    const auto directory = std::filesystem::temp_directory_path() / "velunto-campaign-damage-test";
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    const auto file = directory / "app.velunto.plist";
    CampaignRandom random(304);
    for (int round = 0; round < 20; ++round) {
        std::filesystem::remove(file);
        SimulationCampaign::damageSettingsFile(file, random);
        ASSERT_TRUE(std::filesystem::exists(file));
        EXPECT_EQ(std::filesystem::file_size(file), 0u);
        std::ofstream(file, std::ios::binary) << "bplist";
        SimulationCampaign::damageSettingsFile(file, random);
        EXPECT_LT(std::filesystem::file_size(file), 6u);
        std::ofstream(file, std::ios::binary) << "bplist00 and the rest of a property list";
        SimulationCampaign::damageSettingsFile(file, random);
        std::stringstream read;
        read << std::ifstream(file, std::ios::binary).rdbuf();
        const std::string damaged = read.str();
        EXPECT_TRUE(damaged.size() < 40 || damaged[0] == 'x') << damaged;
    }
    std::filesystem::remove_all(directory);
}

// A few seeds, a few virtual minutes each: every promise holds, and the checks saw real work.
TEST(SimulationCampaign, ShortRunsKeepEveryPromise) {
    for (std::uint64_t seed : {1u, 2u, 3u}) {
        const auto result = SimulationCampaign::run(options(seed, std::chrono::seconds(180)));
        EXPECT_TRUE(result.passed) << "seed " << seed << ": " << result.failure;
        EXPECT_GT(result.faults, 5u) << "seed " << seed;
        EXPECT_GT(result.realTimeCallbacks, 10000u) << "seed " << seed;
        EXPECT_GT(result.micSamplesChecked, 48000u) << "seed " << seed;
        EXPECT_GE(result.virtualSeconds, 180.0);
    }
}

TEST(SimulationCampaign, ASeedReplaysExactly) {
    const auto first = SimulationCampaign::run(options(17, std::chrono::seconds(90)));
    const auto second = SimulationCampaign::run(options(17, std::chrono::seconds(90)));
    EXPECT_EQ(first.trace, second.trace);
    EXPECT_EQ(first.traceHash, second.traceHash);
    EXPECT_EQ(first.passed, second.passed);
    EXPECT_EQ(first.failure, second.failure);
    const auto other = SimulationCampaign::run(options(18, std::chrono::seconds(90)));
    EXPECT_NE(other.trace, first.trace);
}

}  // namespace
}  // namespace velunto
