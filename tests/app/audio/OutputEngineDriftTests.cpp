#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "platform/dispatch/HostClock.h"

#include "app/audio/OutputEngine.h"
#include "platform/coreaudio/AudioHardware.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/SimulatedAudioHardware.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

constexpr double kModulus = 1 << 20;

// Stands in for the capture side: writes a running count into the ring on the input device's clock.
// Between stallFrom and stallUntil (host time) it holds its blocks back and then writes them all at
// once, as an input does whose thread stalled.
struct Producer {
    RingBuffer* ring;
    double next = 1;
    std::uint64_t overflows = 0;
    float block[4096] = {};
    std::uint64_t stallFrom = 0, stallUntil = 0;
    std::vector<float> held = std::vector<float>(96000);
    std::size_t heldCount = 0;
};

OSStatus produce(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in, const AudioTimeStamp*,
                 AudioBufferList*, const AudioTimeStamp*, void* data) {
    auto& p = *static_cast<Producer*>(data);
    const UInt32 frames = in->mBuffers[0].mDataByteSize / sizeof(float) / in->mBuffers[0].mNumberChannels;
    for (UInt32 i = 0; i < frames; ++i) {
        p.block[i] = static_cast<float>(p.next);
        p.next = p.next + 1 >= kModulus ? 1 : p.next + 1;
    }
    const std::uint64_t now = HostClock::nowNanoseconds();
    if (now >= p.stallFrom && now < p.stallUntil) {
        std::copy_n(p.block, frames, p.held.begin() + static_cast<std::ptrdiff_t>(p.heldCount));
        p.heldCount += frames;
        return 0;
    }
    if (p.heldCount > 0) {
        if (RingBufferWrite(p.ring, p.held.data(), p.heldCount) < p.heldCount)
            ++p.overflows;
        p.heldCount = 0;
    }
    if (RingBufferWrite(p.ring, p.block, frames) < frames)
        ++p.overflows;
    return 0;
}

SimulatedDeviceDescription device(std::string uid, UInt32 in, UInt32 out, double ppm) {
    SimulatedDeviceDescription d;
    d.name = uid;
    d.uid = std::move(uid);
    d.inputChannels = in;
    d.outputChannels = out;
    d.driftPPM = ppm;
    return d;
}

// A microphone whose cycles feed the producer, a two-channel feed device, and the engine playing the
// ring on the feed, in virtual time.
struct DriftRig {
    explicit DriftRig(double micPPM)
        : mic(hardware.plug(device("sim.mic", 1, 0, micPPM))),
          ring(RingBufferCreate(16384)),
          engine(std::make_shared<OutputEngine>(ring)),
          producer{ring} {
        hardware.plug(device("sim.feed", 0, 2, 0));
    }
    ~DriftRig() {
        finish();
        engine.reset();
        RingBufferFree(ring);
    }
    bool startProducer() {
        return AudioDeviceCreateIOProcID(mic, produce, &producer, &proc) == 0 && AudioDeviceStart(mic, proc) == 0;
    }
    // Stops playing and producing; the engine and its counters stay.
    void finish() {
        engine->stop();
        if (proc)
            AudioDeviceDestroyIOProcID(mic, proc);
        proc = nullptr;
    }

    VirtualTime time;
    SimulatedAudioHardware hardware;
    const AudioObjectID mic;
    RingBuffer* const ring;
    std::shared_ptr<OutputEngine> engine;
    Producer producer;
    AudioDeviceIOProcID proc = nullptr;
};

// Ten minutes with the input clock 200 ppm faster than the output's. The surplus arrives as one extra
// block of 512 whenever the input's cycles have slid a whole block ahead (every 53 s), so settling
// takes two such slides; after that the ring's fill between output cycles stays inside the band, and what is played is
// the count without gaps beyond the one sample dropped per correction, never a zero.
TEST(OutputEngineDrift, TenMinutesTwoHundredPPMApartStayInsideTheBand) {
    DriftRig rig(200);
    auto& time = rig.time;
    auto& hardware = rig.hardware;
    RingBuffer* const ring = rig.ring;
    auto& engine = rig.engine;
    auto& producer = rig.producer;
    ASSERT_TRUE(rig.startProducer());

    std::int64_t minFill = 1 << 30, maxFill = -1, zeros = 0, gaps = 0, drops = 0, repeats = 0, cycles = 0, above = 0;
    double last = 0;
    const std::uint64_t settleUntil = VirtualTime::kStartNanoseconds + 120'000'000'000ull;
    hardware.setOutputObserver("sim.feed", [&](double, const float* s, std::uint32_t frames, std::uint32_t channels) {
        const bool settled = HostClock::nowNanoseconds() >= settleUntil;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const double v = s[i * channels];
            if (s[i * channels + 1] != s[i * channels])
                ++gaps;
            if (!settled) {
                last = v;
                continue;
            }
            if (v == 0) {
                ++zeros;
                continue;
            }
            const double step = std::fmod(v - last + kModulus - 1, kModulus - 1);
            if (step == 0)
                ++repeats;
            else if (step == 2)
                ++drops;
            else if (step != 1)
                ++gaps;
            last = v;
        }
        if (!settled)
            return;
        const auto fill = static_cast<std::int64_t>(RingBufferAvailableToRead(ring));
        minFill = std::min(minFill, fill);
        maxFill = std::max(maxFill, fill);
        above += fill > 1440;
        ++cycles;
    });

    engine->start("sim.feed");
    ASSERT_EQ(engine->status(), EngineStatus::running());
    time.advance(600s);
    rig.finish();

    EXPECT_NEAR(static_cast<double>(cycles), 480 * 48000 / 512.0, 2);
    EXPECT_EQ(zeros, 0) << "no underrun";
    EXPECT_EQ(gaps, 0);
    EXPECT_EQ(producer.overflows, 0u);
    // What remains after each render stays inside the band, except while the one extra block that
    // arrives whenever the input has gained a whole block (every 53 s) is worked off, one sample per
    // callback (5 s).
    EXPECT_GE(minFill, 480);
    EXPECT_LE(maxFill, 1440 + 512);
    EXPECT_LE(static_cast<double>(above) / static_cast<double>(cycles), 0.12);
    // 200 ppm of the 480 s measured at 48 kHz is about 4600 surplus samples, each dropped once.
    EXPECT_NEAR(static_cast<double>(drops - repeats), 480 * 48000 * 200e-6, 600);
    std::printf(
        "fill between output cycles: %lld..%lld (above the band in %.1f %% of cycles), drops %lld, repeats %lld\n",
        static_cast<long long>(minFill), static_cast<long long>(maxFill),
        100.0 * static_cast<double>(above) / static_cast<double>(cycles), static_cast<long long>(drops),
        static_cast<long long>(repeats));
}

// The input stalls for 300 ms and then delivers what it held back at once: the output runs dry, waits
// for the target, and then finds a backlog of 300 ms. Within a second it plays the newest samples again,
// not minutes later, one sample per callback; apart from the crossfade it plays the count without gaps.
TEST(OutputEngineDrift, AfterAnInputStallTheBacklogIsGoneWithinASecond) {
    DriftRig rig(0);
    auto& time = rig.time;
    auto& hardware = rig.hardware;
    auto& engine = rig.engine;
    auto& producer = rig.producer;
    producer.stallFrom = VirtualTime::kStartNanoseconds + 10'000'000'000ull;
    producer.stallUntil = producer.stallFrom + 300'000'000ull;
    ASSERT_TRUE(rig.startProducer());

    double last = 0, lag = 0, worstLagLate = 0;
    std::int64_t disturbed = 0;  // cycles with anything but steps of 0, 1 or 2 between played samples
    hardware.setOutputObserver("sim.feed", [&](double, const float* s, std::uint32_t frames, std::uint32_t channels) {
        bool smooth = true;
        for (std::uint32_t i = 0; i < frames; ++i) {
            const double v = s[i * channels];
            if (v == 0)
                continue;
            const double step = std::fmod(v - last + kModulus - 1, kModulus - 1);
            if (last != 0 && step != 0 && step != 1 && step != 2)
                smooth = false;
            last = v;
        }
        disturbed += smooth ? 0 : 1;
        lag = std::fmod(producer.next - last + kModulus - 1, kModulus - 1);
        if (HostClock::nowNanoseconds() >= producer.stallUntil + 1'000'000'000ull)
            worstLagLate = std::max(worstLagLate, lag);
    });

    engine->start("sim.feed");
    time.advance(9s);
    const double lagBefore = lag;
    time.advance(11s);
    rig.finish();

    const OutputRenderContext& context = engine->renderContext();
    EXPECT_EQ(producer.overflows, 0u);
    EXPECT_GE(context.underruns.load(), 1u) << "the stall emptied the ring";
    EXPECT_EQ(context.catchUps.load(), 1u);
    EXPECT_GE(disturbed, 1);
    EXPECT_LE(disturbed, 2) << "only the catch-up's crossfade and the step after it";
    EXPECT_GT(context.skippedSamples.load(), 12000u) << "most of the 14400 held back";
    // The lag from the newest input to what is played: a callback, the target and a block's jitter.
    EXPECT_LE(lagBefore, 1440 + 1024);
    EXPECT_LE(worstLagLate, 1440 + 1024);
    std::printf("lag before the stall %.0f, from a second after it at most %.0f; %llu samples skipped\n", lagBefore,
                worstLagLate, static_cast<unsigned long long>(context.skippedSamples.load()));
}

}  // namespace
