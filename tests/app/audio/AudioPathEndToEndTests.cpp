#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <vector>

#include "app/audio/AppState.h"
#include "platform/dispatch/HostClock.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/SimulatedAudioHardware.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

// A click every 100 ms from the microphone, listened for at the feed device. Both devices are
// plugged at the same instant, so their timelines share an origin: a click at the microphone's
// sample time s was spoken at s / rate seconds, and one played at the feed's sample time p is heard
// at p / 48000 seconds.
std::vector<double> clickDelays(double micRate, UInt32 micBuffer) {
    VirtualTime time;
    SimulatedAudioHardware hardware;
    SimulatedDeviceDescription mic;
    mic.name = "Mikrofon";
    mic.uid = "e2e.mic";
    mic.inputChannels = 1;
    mic.nominalSampleRate = micRate;
    mic.bufferFrameSize = micBuffer;
    mic.signal = SimulatedSignal::clicks(static_cast<std::uint32_t>(micRate / 10), 1.0);
    hardware.plug(mic);
    SimulatedDeviceDescription feed;
    feed.name = "Velunto Mic (Einspeisung)";
    feed.uid = "app.velunto.mic.feed";
    feed.outputChannels = 2;
    feed.hidden = true;
    hardware.plug(feed);

    std::vector<double> delays;
    hardware.setOutputObserver("app.velunto.mic.feed",
                               [&](double sampleTime, const float* s, std::uint32_t frames, std::uint32_t channels) {
                                   for (std::uint32_t i = 0; i < frames; ++i) {
                                       if (s[i * channels] < 0.5f)
                                           continue;
                                       const double heard = (sampleTime + i) / 48000.0;
                                       delays.push_back(std::fmod(heard, 0.1));
                                   }
                               });
    auto state = AppState::make(UserDefaults::inMemory());
    time.advance(20s);
    state.reset();
    return delays;
}

// Every click arrives, at a steady delay. The output's drift control keeps at least 480 frames in the
// ring beyond each render and at most 1440 before it, but does not pull the fill to the 960 target
// inside that band, so the delay is where the fill settled plus the capture block and the converter's
// look-ahead, anywhere within those bounds; once settled it moves only by single samples.
void expectDelays(const std::vector<double>& delays, double micRate, UInt32 micBuffer) {
    ASSERT_GE(delays.size(), 195u) << "a click every 100 ms for 20 s";
    double lo = 1, hi = 0;
    for (std::size_t i = 80; i < delays.size(); ++i) {  // the start leaves the ring short: it fills in 5 s
        lo = std::min(lo, delays[i]);
        hi = std::max(hi, delays[i]);
    }
    const double figure = micBuffer / micRate + 0.020 + 512 / 48000.0;
    std::printf("mic %.0f Hz: delay %.2f .. %.2f ms (latency figure %.2f ms)\n", micRate, lo * 1000, hi * 1000,
                figure * 1000);
    EXPECT_GE(lo, 480 / 48000.0);
    EXPECT_LE(hi, 1440 / 48000.0 + micBuffer / micRate + 0.010);
    EXPECT_LE(hi - lo, 0.003) << "steady";
}

TEST(AudioPathEndToEnd, ClicksReachTheFeedDeviceAtASteadyDelayAt48000) {
    expectDelays(clickDelays(48000, 512), 48000, 512);
}

TEST(AudioPathEndToEnd, ClicksReachTheFeedDeviceAtASteadyDelayAt44100) {
    expectDelays(clickDelays(44100, 441), 44100, 441);
}

// Blocks of 557 frames (512 at 44.1 kHz, converted) against renders of 512 slide past each other every
// second or so; the ring must never run dry at those moments.
TEST(AudioPathEndToEnd, AMicWhoseBlocksDoNotMatchTheOutputsNeverLeavesTheFeedSilent) {
    VirtualTime time;
    SimulatedAudioHardware hardware;
    SimulatedDeviceDescription mic;
    mic.name = "Mikrofon";
    mic.uid = "e2e.mic";
    mic.inputChannels = 1;
    mic.nominalSampleRate = 44100;
    mic.driftPPM = 35;
    mic.signal = SimulatedSignal::sineWave(220, 0.3);
    hardware.plug(mic);
    SimulatedDeviceDescription feed;
    feed.name = "Velunto Mic (Einspeisung)";
    feed.uid = "app.velunto.mic.feed";
    feed.outputChannels = 2;
    feed.hidden = true;
    hardware.plug(feed);
    std::size_t silent = 0, played = 0;
    hardware.setOutputObserver("app.velunto.mic.feed",
                               [&](double, const float* s, std::uint32_t frames, std::uint32_t channels) {
                                   if (HostClock::nowNanoseconds() < VirtualTime::kStartNanoseconds + 6'000'000'000ull)
                                       return;
                                   for (std::uint32_t i = 0; i < frames; ++i)
                                       silent += s[i * channels] == 0.0f;
                                   played += frames;
                               });
    auto state = AppState::make(UserDefaults::inMemory());
    time.advance(60s);
    state.reset();
    EXPECT_GT(played, 53u * 48000);
    EXPECT_EQ(silent, 0u);
}

}  // namespace
