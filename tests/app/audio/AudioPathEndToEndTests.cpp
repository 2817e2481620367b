#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <vector>

#include <sndfile.h>
#include <unistd.h>

#include "app/audio/AppState.h"
#include "platform/dispatch/HostClock.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/SimulatedAudioHardware.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

constexpr const char* kFeed = "app.velunto.mic.feed";

// A mono microphone "e2e.mic" and the hidden feed device, plugged at the same instant.
void plugMicAndFeed(SimulatedAudioHardware& hardware, SimulatedSignal signal, double micRate = 48000,
                    UInt32 micBuffer = 512, double micDriftPPM = 0) {
    SimulatedDeviceDescription mic;
    mic.name = "Mikrofon";
    mic.uid = "e2e.mic";
    mic.inputChannels = 1;
    mic.nominalSampleRate = micRate;
    mic.bufferFrameSize = micBuffer;
    mic.driftPPM = micDriftPPM;
    mic.signal = std::move(signal);
    hardware.plug(mic);
    SimulatedDeviceDescription feed;
    feed.name = "Velunto Mic (Einspeisung)";
    feed.uid = kFeed;
    feed.outputChannels = 2;
    feed.hidden = true;
    hardware.plug(feed);
}

// A click every 100 ms from the microphone, listened for at the feed device. Both devices are
// plugged at the same instant, so their timelines share an origin: a click at the microphone's
// sample time s was spoken at s / rate seconds, and one played at the feed's sample time p is heard
// at p / 48000 seconds.
std::vector<double> clickDelays(double micRate, UInt32 micBuffer) {
    VirtualTime time;
    SimulatedAudioHardware hardware;
    plugMicAndFeed(hardware, SimulatedSignal::clicks(static_cast<std::uint32_t>(micRate / 10), 1.0), micRate,
                   micBuffer);

    std::vector<double> delays;
    hardware.setOutputObserver(kFeed,
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

// Every click arrives, from the first second on, at a steady delay close to the figure the panel
// shows: the ring starts at its target fill, and only the converter's few milliseconds and the part of
// a block by which the fill exceeds the target at that moment are not in the figure.
void expectDelays(const std::vector<double>& delays, double micRate, UInt32 micBuffer) {
    ASSERT_GE(delays.size(), 195u) << "a click every 100 ms for 20 s";
    double lo = 1, hi = 0;
    for (std::size_t i = 5; i < delays.size(); ++i) {
        lo = std::min(lo, delays[i]);
        hi = std::max(hi, delays[i]);
    }
    const double figure = micBuffer / micRate + 0.020 + 512 / 48000.0;
    std::printf("mic %.0f Hz: delay %.2f .. %.2f ms (latency figure %.2f ms)\n", micRate, lo * 1000, hi * 1000,
                figure * 1000);
    EXPECT_GE(lo, figure);
    EXPECT_LE(hi, figure + 0.004);
    EXPECT_LE(hi - lo, 0.001) << "steady";
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
    plugMicAndFeed(hardware, SimulatedSignal::sineWave(220, 0.3), 44100, 512, 35);
    std::size_t silent = 0, played = 0;
    hardware.setOutputObserver(kFeed, [&](double, const float* s, std::uint32_t frames, std::uint32_t channels) {
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

// Two equally loud tones on bins of the analyser's transform (199.2 Hz and 996.1 Hz), looped from a
// 4096-sample file, so every analysis window holds whole cycles of both.
std::string writeTwoTones() {
    const auto path =
        std::filesystem::temp_directory_path() / ("velunto-two-tones-" + std::to_string(getpid()) + ".wav");
    std::vector<float> samples(4096);
    for (std::size_t n = 0; n < samples.size(); ++n)
        samples[n] = static_cast<float>(0.25 * std::sin(2 * std::numbers::pi * 17 * n / 4096.0) +
                                        0.25 * std::sin(2 * std::numbers::pi * 85 * n / 4096.0));
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr);
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    return path;
}

TEST(AudioPathEndToEnd, ABellOf12dBAt1kHzMakesThatToneComeOut12dBLouder) {
    VirtualTime time;
    SimulatedAudioHardware hardware;
    const std::string wav = writeTwoTones();
    plugMicAndFeed(hardware, SimulatedSignal::wav(wav));

    auto state = AppState::make(UserDefaults::inMemory());
    time.advance(500ms);  // the equaliser has loaded the microphone's settings
    EQSettings bell = defaultEQSettings();
    bell.bands[2].gain = 12;  // 1000 Hz, q 1
    state->deviceEQ().setSettings(bell);
    state->spectrumAnalyzer().addClient();
    time.advance(3s);
    const auto shown = state->spectrumAnalyzer().levels.value();
    ASSERT_TRUE(hardware.recordToMemory(kFeed, 4096));
    time.advance(1s);
    const auto recorded = hardware.recording(kFeed);
    ASSERT_EQ(recorded.size(), 2u * 4096);

    // What the call app hears, through the analyser's own transform.
    auto analyzer = SpectrumAnalyzer::make();
    std::vector<float> left(4096);
    for (std::size_t n = 0; n < left.size(); ++n)
        left[n] = recorded[2 * n];
    RingBufferWrite(analyzer->ringBuffer(), left.data(), left.size());
    analyzer->tick();
    const double low = 20 * std::log10(analyzer->magnitudes()[17]);
    const double high = 20 * std::log10(analyzer->magnitudes()[85]);
    const double expected = state->deviceEQ().node()->magnitudeResponseDB(85 * SpectrumAnalyzer::kBinWidth) -
                            state->deviceEQ().node()->magnitudeResponseDB(17 * SpectrumAnalyzer::kBinWidth);
    std::printf("feed device: 199 Hz %.2f dB, 996 Hz %.2f dB, difference %.2f dB (unit response %.2f dB)\n", low, high,
                high - low, expected);
    EXPECT_NEAR(high - low, expected, 0.3);
    EXPECT_NEAR(high, 20 * std::log10(0.25) + 12, 0.5) << "the 1 kHz tone is 12 dB louder than it went in";
    EXPECT_NEAR(low, 20 * std::log10(0.25), 1.0) << "the bell's skirt lifts 200 Hz by about 0.6 dB";

    // The live display saw the processed signal too (its bands carry the display tilt).
    const auto& bands = state->spectrumAnalyzer().bandCenters();
    const auto nearest = [&](double hz) {
        return static_cast<std::size_t>(
            std::min_element(bands.begin(), bands.end(),
                             [&](float a, float b) { return std::abs(a - hz) < std::abs(b - hz); }) -
            bands.begin());
    };
    EXPECT_NEAR(shown[nearest(996)], high + state->spectrumAnalyzer().bandTilts()[nearest(996)], 0.5);
    state.reset();
    std::filesystem::remove(wav);
}

}  // namespace
