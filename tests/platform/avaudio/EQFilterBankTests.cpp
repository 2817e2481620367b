#include "platform/avaudio/EQFilterBank.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

namespace velunto {
namespace {

constexpr double kRate = 48000.0;
constexpr double kPi = std::numbers::pi;

// ---- The cookbook's b/a terms, written out here independently of the implementation.

struct Terms {
    double b0, b1, b2, a0, a1, a2;
};

Terms cookbook(EQFilterType type, double f0, double gainDB, double octaves, double rate) {
    const double w0 = 2.0 * kPi * f0 / rate;
    const double c = std::cos(w0);
    const double s = std::sin(w0);
    const double A = std::pow(10.0, gainDB / 40.0);
    const double alphaBW = s * std::sinh(std::log(2.0) / 2.0 * octaves * w0 / s);
    const double alphaButterworth = s / (2.0 / std::sqrt(2.0));  // Q = 1/sqrt(2)
    const double S = 1.0;                                        // shelf slope
    const double alphaShelf = s / 2.0 * std::sqrt((A + 1.0 / A) * (1.0 / S - 1.0) + 2.0);
    const double alphaResonant = s * std::sinh(std::log(2.0) / 2.0 * octaves);  // s / (2Q), Q from octaves
    const auto lowPass = [&](double al) { return Terms{(1 - c) / 2, 1 - c, (1 - c) / 2, 1 + al, -2 * c, 1 - al}; };
    const auto highPass = [&](double al) { return Terms{(1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + al, -2 * c, 1 - al}; };
    const auto lowShelf = [&](double al) {
        const double r = 2 * std::sqrt(A) * al;
        return Terms{A * ((A + 1) - (A - 1) * c + r), 2 * A * ((A - 1) - (A + 1) * c), A * ((A + 1) - (A - 1) * c - r),
                     (A + 1) + (A - 1) * c + r,       -2 * ((A - 1) + (A + 1) * c),    (A + 1) + (A - 1) * c - r};
    };
    const auto highShelf = [&](double al) {
        const double r = 2 * std::sqrt(A) * al;
        return Terms{A * ((A + 1) + (A - 1) * c + r), -2 * A * ((A - 1) + (A + 1) * c), A * ((A + 1) + (A - 1) * c - r),
                     (A + 1) - (A - 1) * c + r,       2 * ((A - 1) - (A + 1) * c),      (A + 1) - (A - 1) * c - r};
    };
    using F = EQFilterType;
    const double alphaRes = alphaResonant;
    if (type == F::lowPass || type == F::resonantLowPass)
        return lowPass(type == F::lowPass ? alphaButterworth : alphaRes);
    if (type == F::highPass || type == F::resonantHighPass)
        return highPass(type == F::highPass ? alphaButterworth : alphaRes);
    if (type == F::lowShelf || type == F::resonantLowShelf)
        return lowShelf(type == F::lowShelf ? alphaShelf : alphaRes);
    if (type == F::highShelf || type == F::resonantHighShelf)
        return highShelf(type == F::highShelf ? alphaShelf : alphaRes);
    if (type == F::bandPass)
        return {alphaBW, 0, -alphaBW, 1 + alphaBW, -2 * c, 1 - alphaBW};
    if (type == F::bandStop)
        return {1, -2 * c, 1, 1 + alphaBW, -2 * c, 1 - alphaBW};
    return {1 + alphaBW * A, -2 * c, 1 - alphaBW * A, 1 + alphaBW / A, -2 * c, 1 - alphaBW / A};  // peaking
}

// |H(e^jw)|^2 of a biquad in closed form.
double closedFormDB(const Terms& t, double w) {
    const auto power = [w](double x0, double x1, double x2) {
        return x0 * x0 + x1 * x1 + x2 * x2 + 2 * (x0 * x1 + x1 * x2) * std::cos(w) + 2 * x0 * x2 * std::cos(2 * w);
    };
    return 10.0 * std::log10(power(t.b0, t.b1, t.b2) / power(t.a0, t.a1, t.a2));
}

EQBandParameters activeBand(EQFilterType type, float frequency, float gain, float bandwidth) {
    return {type, frequency, gain, bandwidth, false};
}

TEST(EQFilterBankResponse, EveryFilterTypeMatchesTheCookbook) {
    struct Setting {
        double rate, frequency, gain, octaves;
    };
    const Setting settings[] = {{48000, 1000, 6, 1}, {48000, 80, -9, 0.3}, {44100, 12000, 12, 2.5}, {96000, 10, 3, 5}};
    for (int type = 0; type <= 10; ++type) {
        for (const Setting& s : settings) {
            EQFilterBank eq(1);
            eq.prepare(s.rate, 1, 512);
            const auto t = static_cast<EQFilterType>(type);
            eq.setBand(0, activeBand(t, float(s.frequency), float(s.gain), float(s.octaves)));
            const Terms terms = cookbook(t, s.frequency, s.gain, s.octaves, s.rate);
            for (int i = 0; i <= 100; ++i) {
                const double f = 20.0 * std::pow(0.49 * s.rate / 20.0, i / 100.0);
                const double expected = closedFormDB(terms, 2 * kPi * f / s.rate);
                if (expected > -100.0) {
                    ASSERT_NEAR(eq.magnitudeResponseDB(f), expected, 0.05)
                        << "type " << type << " at " << f << " Hz, f0 " << s.frequency << " Hz";
                }
            }
        }
    }
}

TEST(EQFilterBankResponse, CascadesActiveBandsClampsFrequenciesAndAddsGlobalGain) {
    EQFilterBank eq(3);
    eq.prepare(kRate, 1, 512);
    EXPECT_EQ(eq.band(2).bypass, true);  // untouched bands pass the signal
    EXPECT_DOUBLE_EQ(eq.magnitudeResponseDB(1000), 0.0);
    eq.setBand(0, activeBand(EQFilterType::parametric, 30000, 6, 1));  // above 0.49 x rate
    eq.setBand(1, activeBand(EQFilterType::lowShelf, 1, -4, 1));       // below 10 Hz
    eq.setBand(2, activeBand(EQFilterType::highPass, 5000, 0, 1));
    eq.setBypass(2, true);
    eq.setGlobalGain(-3);
    for (const double f : {30.0, 500.0, 8000.0, 23000.0}) {
        const double w = 2 * kPi * f / kRate;
        const double expected = closedFormDB(cookbook(EQFilterType::parametric, 0.49 * kRate, 6, 1, kRate), w) +
                                closedFormDB(cookbook(EQFilterType::lowShelf, 10, -4, 1, kRate), w) - 3.0;
        EXPECT_NEAR(eq.magnitudeResponseDB(f), expected, 1e-4) << f;
    }
    eq.setGlobalBypass(true);
    EXPECT_DOUBLE_EQ(eq.magnitudeResponseDB(500), 0.0);
    EXPECT_THROW(eq.setGain(3, 1), std::out_of_range);
}

// ---- Processing

struct SineRun {
    std::vector<float> input, output;
};

// A sine through the bank in blocks of `block` frames; `beforeBlock(frame)` may change parameters.
SineRun processSine(EQFilterBank& eq, double frequency, double amplitude, std::size_t frames, UInt32 block,
                    const std::function<void(std::size_t)>& beforeBlock = {}) {
    SineRun run;
    for (std::size_t n = 0; n < frames; ++n) {
        run.input.push_back(float(amplitude * std::sin(2 * kPi * frequency * double(n) / kRate)));
    }
    run.output = run.input;
    for (std::size_t start = 0; start < frames; start += block) {
        if (beforeBlock) {
            beforeBlock(start);
        }
        float* channel = run.output.data() + start;
        eq.process(&channel, UInt32(std::min<std::size_t>(block, frames - start)));
    }
    return run;
}

// Output over input level of the second half, in dB.
double levelDB(const SineRun& run) {
    double in = 0.0, out = 0.0;
    for (std::size_t n = run.input.size() / 2; n < run.input.size(); ++n) {
        in += double(run.input[n]) * run.input[n];
        out += double(run.output[n]) * run.output[n];
    }
    return 10.0 * std::log10(out / in);
}

TEST(EQFilterBankProcessing, SineLevelsFollowBandsBypassAndGlobalGain) {
    EQFilterBank eq(5);
    eq.prepare(kRate, 1, 512);
    eq.setBand(2, activeBand(EQFilterType::parametric, 750, 6, 1));  // 750 Hz: 64 samples a period
    EXPECT_NEAR(levelDB(processSine(eq, 750, 0.25, 48000, 512)), 6.0, 0.1);
    eq.setBypass(2, true);
    EXPECT_NEAR(levelDB(processSine(eq, 750, 0.25, 48000, 512)), 0.0, 0.01);
    eq.setGlobalGain(-6);
    EXPECT_NEAR(levelDB(processSine(eq, 750, 0.25, 48000, 512)), -6.0, 0.01);
    eq.setBypass(2, false);
    EXPECT_NEAR(levelDB(processSine(eq, 750, 0.25, 48000, 512)), 0.0, 0.1);
    eq.setGlobalBypass(true);
    EXPECT_NEAR(levelDB(processSine(eq, 750, 0.25, 48000, 512)), 0.0, 0.01);
}

TEST(EQFilterBankProcessing, ChannelsKeepSeparateHistory) {
    const auto configure = [](EQFilterBank& eq, UInt32 channels) {
        eq.prepare(kRate, channels, 256);
        eq.setBand(0, activeBand(EQFilterType::resonantLowPass, 2000, 0, 0.5));
        eq.setBand(1, activeBand(EQFilterType::parametric, 300, -8, 2));
    };
    EQFilterBank left(2), right(2), stereo(2);
    configure(left, 1);
    configure(right, 1);
    configure(stereo, 2);
    const SineRun l = processSine(left, 440, 0.5, 4000, 300);  // slices longer than maxFrames too
    const SineRun r = processSine(right, 5000, 0.3, 4000, 300);
    std::vector<float> a = l.input, b = r.input;
    for (std::size_t start = 0; start < a.size(); start += 300) {
        float* channels[] = {a.data() + start, b.data() + start};
        stereo.process(channels, UInt32(std::min<std::size_t>(300, a.size() - start)));
    }
    EXPECT_EQ(a, l.output);
    EXPECT_EQ(b, r.output);
}

TEST(EQFilterBankProcessing, ResetClearsTheRinging) {
    EQFilterBank eq(1);
    eq.prepare(kRate, 1, 512);
    eq.setBand(0, activeBand(EQFilterType::resonantLowPass, 1000, 0, 0.05));
    for (const bool reset : {false, true}) {
        std::vector<float> block(512, 0.0f);
        block[0] = 1.0f;
        float* channel = block.data();
        eq.process(&channel, 512);
        if (reset) {
            eq.reset();
        }
        std::fill(block.begin(), block.end(), 0.0f);
        eq.process(&channel, 512);
        const float peak = *std::max_element(block.begin(), block.end());
        EXPECT_EQ(peak > 1e-4f, !reset);
    }
}

// Every kind of change, some while the previous one is still ramping, on a 200 Hz sine: the output may
// change from sample to sample by no more than a sine of its own peak level does.
TEST(EQFilterBankProcessing, ChangesWhileRunningAreClickFree) {
    EQFilterBank eq(2);
    eq.prepare(kRate, 1, 512);
    eq.setBand(0, activeBand(EQFilterType::parametric, 200, 0, 1));
    eq.setBand(1, EQBandParameters{EQFilterType::highShelf, 150, 6, 1, true});
    const std::vector<std::function<void()>> changes = {
        [&] { eq.setGain(0, 12); },
        [&] { eq.setGain(0, -12); },
        [&] { eq.setFrequency(0, 400); },
        [&] { eq.setBandwidth(0, 0.2f); },
        [&] { eq.setFrequency(0, 190); },
        [&] { eq.setGain(0, 9); },
        [&] { eq.setBypass(0, true); },
        [&] { eq.setBypass(1, false); },
        [&] { eq.setBypass(0, false); },
        [&] { eq.setFilterType(0, EQFilterType::lowShelf); },
        [&] { eq.setGlobalGain(-9); },
        [&] { eq.setGlobalBypass(true); },
        [&] { eq.setGlobalBypass(false); },
        [&] { eq.setBypass(1, true); },
        [&] { eq.setFilterType(0, EQFilterType::parametric); },
    };
    std::size_t next = 0;
    const SineRun run = processSine(eq, 200, 0.25, 48000, 64, [&](std::size_t frame) {
        if (frame >= 4800 && next < changes.size() && frame % (next % 2 ? 192 : 1024) == 0) {
            changes[next++]();
        }
    });
    ASSERT_EQ(next, changes.size());
    float peak = 0.0f, largestStep = 0.0f;
    for (std::size_t n = 4800; n < run.output.size(); ++n) {
        peak = std::max(peak, std::abs(run.output[n]));
        largestStep = std::max(largestStep, std::abs(run.output[n] - run.output[n - 1]));
    }
    const double sineSlope = peak * 2 * kPi * 200 / kRate;
    EXPECT_LT(largestStep, 1.15 * sineSlope + 0.002) << "peak " << peak;
}

// The audio thread processes without pause while this thread changes parameters thousands of times;
// afterwards the last settings are what is heard.
TEST(EQFilterBankThreads, AudioThreadRunsWhileParametersChange) {
    EQFilterBank eq(5);
    eq.prepare(kRate, 2, 256);
    std::vector<float> sine(256);  // 750 Hz, four whole periods
    for (std::size_t n = 0; n < sine.size(); ++n) {
        sine[n] = float(0.25 * std::sin(2 * kPi * 750 * double(n) / kRate));
    }
    std::atomic<bool> stop{false}, misbehaved{false};
    std::atomic<std::uint64_t> blocks{0};
    std::atomic<double> lastLevelDB{0.0};
    std::thread audio([&] {
        std::vector<float> left(256), right(256);
        while (!stop.load()) {
            left = sine;
            right = sine;
            float* channels[] = {left.data(), right.data()};
            eq.process(channels, 256);
            double in = 0.0, out = 0.0;
            for (std::size_t n = 0; n < 256; ++n) {
                misbehaved = misbehaved || !std::isfinite(left[n]) || std::abs(left[n]) > 1e4f || left[n] != right[n];
                in += double(sine[n]) * sine[n];
                out += double(left[n]) * left[n];
            }
            lastLevelDB = 10.0 * std::log10(out / in);
            ++blocks;
        }
    });
    struct Join {
        std::atomic<bool>& stop;
        std::thread& thread;
        ~Join() {
            stop = true;
            thread.join();
        }
    } join{stop, audio};
    const auto waitForBlocks = [&](std::uint64_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (blocks.load() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        return blocks.load() >= count;
    };
    ASSERT_TRUE(waitForBlocks(4));

    std::mt19937 random(7);
    const EQFilterType types[] = {EQFilterType::parametric, EQFilterType::lowPass, EQFilterType::highPass,
                                  EQFilterType::lowShelf, EQFilterType::highShelf};
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int change = 0; change < 5000; ++change) {
        if (random() % 8 == 0) {
            eq.setGlobalBypass(random() % 4 == 0);
            eq.setGlobalGain(-6.0f + 12.0f * unit(random));
        } else {
            eq.setBand(random() % 5,
                       EQBandParameters{types[random() % 5], 20.0f * std::pow(1000.0f, unit(random)),
                                        -12.0f + 24.0f * unit(random), 0.3f + 2.7f * unit(random), random() % 3 == 0});
        }
        if (change % 50 == 0) {
            ASSERT_TRUE(waitForBlocks(blocks.load() + 1));
        }
    }
    for (std::size_t band = 0; band < 5; ++band) {
        eq.setBypass(band, true);
    }
    eq.setBand(2, activeBand(EQFilterType::parametric, 750, 6, 1));
    eq.setGlobalGain(0);
    eq.setGlobalBypass(false);
    ASSERT_TRUE(waitForBlocks(blocks.load() + 50));  // ramps end within 10 ms, two blocks
    const double finalLevelDB = lastLevelDB.load();
    EXPECT_FALSE(misbehaved.load());
    EXPECT_NEAR(finalLevelDB, 6.0, 0.1);
}

}  // namespace
}  // namespace velunto
