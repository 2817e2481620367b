#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "app/processing/SpectrumAnalyzer.h"
#include "platform/dispatch/VirtualTime.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

std::vector<float> sine(double hz, std::size_t count, double amplitude = 1.0) {
    std::vector<float> s(count);
    for (std::size_t n = 0; n < count; ++n)
        s[n] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * hz * n / 48000.0));
    return s;
}

class SpectrumAnalyzerTest : public ::testing::Test {
protected:
    void write(const std::vector<float>& samples) {
        ASSERT_EQ(RingBufferWrite(analyzer->ringBuffer(), samples.data(), samples.size()), samples.size());
    }
    std::size_t bandNearest(double hz) const {
        std::size_t best = 0;
        for (std::size_t i = 1; i < SpectrumAnalyzer::kBandCount; ++i)
            if (std::abs(std::log(analyzer->bandCenters()[i] / hz)) <
                std::abs(std::log(analyzer->bandCenters()[best] / hz)))
                best = i;
        return best;
    }

    VirtualTime time;
    std::shared_ptr<SpectrumAnalyzer> analyzer = SpectrumAnalyzer::make();
};

TEST_F(SpectrumAnalyzerTest, TheBandLayoutSpans20HzTo20kHzWithATiltOf3dBPerOctave) {
    const auto& centers = analyzer->bandCenters();
    const auto& tilts = analyzer->bandTilts();
    EXPECT_NEAR(centers.front(), 20.4, 0.05);
    EXPECT_NEAR(centers.back(), 19570, 5);
    for (std::size_t i = 1; i < centers.size(); ++i)
        EXPECT_NEAR(centers[i] / centers[i - 1], std::pow(1000.0, 1.0 / 160), 1e-5);
    EXPECT_NEAR(tilts.front(), -16.8, 0.05);
    EXPECT_NEAR(tilts.back(), 12.9, 0.05);
    EXPECT_NEAR(tilts[bandNearest(1000)], 0, 0.05);
    for (float level : analyzer->levels.value())
        EXPECT_EQ(level, -90.0f);
}

TEST_F(SpectrumAnalyzerTest, AFullScaleSineOnABinReadsExactly0dBAndAt1kHzAbout0dB) {
    write(sine(85 * SpectrumAnalyzer::kBinWidth, 4096));
    analyzer->tick();
    EXPECT_NEAR(analyzer->magnitudes()[85], 1.0, 1e-4);
    EXPECT_NEAR(analyzer->magnitudes()[84], 0.5, 1e-4) << "the Hann window's neighbours";
    EXPECT_LT(analyzer->magnitudes()[200], 1e-4);

    write(sine(1000, 4096));
    analyzer->tick();
    const std::size_t band = bandNearest(1000);
    EXPECT_NEAR(analyzer->levels.value()[band], 0, 1.0);
    EXPECT_LT(analyzer->levels.value()[bandNearest(250)], -60);
}

TEST_F(SpectrumAnalyzerTest, LevelsRiseAtOnceAndFallExactly1Point5dBPerUpdateToTheFloor) {
    write(sine(1000, 4096));
    analyzer->tick();
    auto previous = analyzer->levels.value();
    const std::size_t band = bandNearest(1000);
    int updates = 0;
    while (analyzer->levels.value()[band] > -90) {
        analyzer->tick();  // nothing arrives: the window is silence
        const auto& now = analyzer->levels.value();
        for (std::size_t i = 0; i < now.size(); ++i)
            ASSERT_EQ(now[i], std::max(previous[i] - 1.5f, -90.0f)) << "band " << i;
        previous = now;
        ASSERT_LT(++updates, 100);
    }
    EXPECT_EQ(updates, 60) << "0 dB down to -90 in 1.5 dB steps";
    analyzer->tick();
    EXPECT_EQ(analyzer->levels.value()[band], -90.0f) << "never below the floor";

    write(sine(1000, 4096));
    analyzer->tick();
    EXPECT_NEAR(analyzer->levels.value()[band], 0, 1.0) << "no rise time";
}

TEST_F(SpectrumAnalyzerTest, TheWindowSlidesByTheNumberOfSamplesRead) {
    std::vector<float> ramp(5000);
    for (std::size_t n = 0; n < ramp.size(); ++n)
        ramp[n] = static_cast<float>(n) / 8192;
    write(ramp);
    analyzer->tick();
    EXPECT_EQ(analyzer->history()[0], ramp[5000 - 4096]) << "the last 4096 of a longer read";
    EXPECT_EQ(analyzer->history()[4095], ramp[4999]);

    const std::vector<float> next(1000, -0.25f);
    write(next);
    analyzer->tick();
    EXPECT_EQ(analyzer->history()[0], ramp[5000 - 4096 + 1000]);
    EXPECT_EQ(analyzer->history()[3095], ramp[4999]);
    EXPECT_EQ(analyzer->history()[3096], -0.25f);
    EXPECT_EQ(analyzer->history()[4095], -0.25f);
}

TEST_F(SpectrumAnalyzerTest, BandsNarrowerThanABinInterpolateBetweenTheirNeighbours) {
    write(sine(4 * SpectrumAnalyzer::kBinWidth, 4096));  // magnitudes 0.5, 1, 0.5 at bins 3, 4, 5
    analyzer->tick();
    const float* m = analyzer->magnitudes();
    int interpolated = 0;
    for (std::size_t i = 0; i < SpectrumAnalyzer::kBandCount; ++i) {
        const double center = analyzer->bandCenters()[i];
        const double x = center / SpectrumAnalyzer::kBinWidth;
        const double k = std::pow(1000.0, 1.0 / 320);
        if (std::floor(x * k) != std::floor(x / k) || x < 3 || x > 5)
            continue;
        const auto bin = static_cast<std::size_t>(x);
        const double a = x - bin;
        const double expected = 20 * std::log10((1 - a) * m[bin] + a * m[bin + 1]);
        EXPECT_NEAR(analyzer->bandLevel(static_cast<float>(center)), expected, 1e-3) << "band " << i;
        ++interpolated;
    }
    EXPECT_GE(interpolated, 5);
}

TEST_F(SpectrumAnalyzerTest, AWideBandTakesTheLargestBinInsideItsEdges) {
    // The band centred on 4 kHz spans bins 334.04 ... 348.78: bin 334 lies just outside.
    write(sine(334 * SpectrumAnalyzer::kBinWidth, 4096));
    analyzer->tick();
    EXPECT_NEAR(analyzer->bandLevel(4000), 20 * std::log10(0.5), 1e-3) << "bin 335, the neighbour";
}

TEST_F(SpectrumAnalyzerTest, TheTimerRunsWhileAnyClientWatches) {
    int updates = 0;
    auto counting = analyzer->levels.sink([&](const SpectrumAnalyzer::Levels&) { ++updates; }, {.initial = false});
    write(sine(1000, 8000));  // written while idle: drained by the first client
    analyzer->addClient();
    analyzer->addClient();
    EXPECT_EQ(RingBufferAvailableToRead(analyzer->ringBuffer()), 0u);
    time.advance(1s);
    EXPECT_EQ(updates, 30);
    EXPECT_EQ(analyzer->levels.value()[bandNearest(1000)], -90.0f) << "the drained sound never shows";

    write(sine(1000, 1600));
    time.advance(34ms);
    EXPECT_GT(analyzer->levels.value()[bandNearest(1000)], -20.0f);

    analyzer->removeClient();
    EXPECT_TRUE(analyzer->isUpdating());
    analyzer->removeClient();
    EXPECT_FALSE(analyzer->isUpdating());
    EXPECT_EQ(analyzer->levels.value()[bandNearest(1000)], -90.0f);
    const int afterStop = updates;
    time.advance(1s);
    EXPECT_EQ(updates, afterStop);

    analyzer->removeClient();  // unbalanced
    EXPECT_EQ(analyzer->clientCount(), 0);
    analyzer->addClient();
    EXPECT_EQ(analyzer->clientCount(), 1);
    EXPECT_TRUE(analyzer->isUpdating());
    analyzer->removeClient();
}

TEST_F(SpectrumAnalyzerTest, NonFiniteAndHugeSamplesNeverReachTheLevels) {
    auto samples = sine(1000, 4096);
    samples[100] = std::numeric_limits<float>::quiet_NaN();
    samples[200] = std::numeric_limits<float>::infinity();
    samples[300] = -std::numeric_limits<float>::infinity();
    samples[400] = std::numeric_limits<float>::max();
    samples[401] = -std::numeric_limits<float>::max();
    write(samples);
    analyzer->tick();
    for (float level : analyzer->levels.value())
        EXPECT_TRUE(std::isfinite(level));
    for (int i = 0; i < 4; ++i)
        analyzer->tick();
    for (float level : analyzer->levels.value())
        EXPECT_TRUE(std::isfinite(level));
}

}  // namespace
