#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <deque>
#include <vector>

#include "app/audio/AppState.h"
#include "platform/coreaudio/AudioServerPlugInHost.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedCallApp.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

// Best normalised correlation of `probe` against `history` over every offset, and that offset.
std::pair<double, std::size_t> bestMatch(const std::vector<float>& probe, const std::vector<float>& history) {
    double energyProbe = 0;
    for (float x : probe)
        energyProbe += double{x} * x;
    double best = -2;
    std::size_t at = 0;
    for (std::size_t offset = 0; offset + probe.size() <= history.size(); ++offset) {
        double dot = 0, energy = 0;
        for (std::size_t i = 0; i < probe.size(); ++i) {
            dot += double{probe[i]} * history[offset + i];
            energy += double{history[offset + i]} * history[offset + i];
        }
        const double c = energy > 0 ? dot / std::sqrt(energyProbe * energy) : 0;
        if (c > best) {
            best = c;
            at = offset;
        }
    }
    return {best, at};
}

// The application plays the processed voice into the driver's feed device; a call app records
// "Velunto Mic". Every minute for ten minutes, the newest recorded samples are found in the stream the
// application produced (read from the listen-back ring, which carries the same samples) with a
// correlation of at least 0.99, and always at the same place relative to the recording.
TEST(VirtualMicEndToEnd, WhatTheAppPlaysIsWhatACallAppRecords) {
    VirtualTime time;
    AudioServerPlugInHost host;
    ASSERT_EQ(host.load(VELUNTO_MIC_DRIVER_BUNDLE), 0);
    SimulatedAudioHardware hardware;
    SimulatedDeviceDescription mic;
    mic.name = "Mikrofon";
    mic.uid = "vm.mic";
    mic.inputChannels = 1;
    mic.nominalSampleRate = 48000;  // blocks as long as the output's: the fill needs no correction
    mic.signal = SimulatedSignal::whiteNoise(0.3, 11);
    hardware.plug(mic);
    ASSERT_TRUE(hardware.setDefaultInput("vm.mic"));  // the driver's microphone came first

    auto state = AppState::make(UserDefaults::inMemory());
    ASSERT_EQ(state->outputDeviceUID.value(), "app.velunto.mic.feed");
    time.advance(500ms);
    ASSERT_EQ(state->outputStatus.value(), EngineStatus::running());

    SimulatedCallApp callApp("app.velunto.mic");
    ASSERT_TRUE(callApp.recordToMemory(4096));
    ASSERT_EQ(callApp.channels(), 2u);

    std::deque<float> produced;  // the newest processed samples, from the listen-back ring
    std::vector<float> chunk(65536);
    std::uint64_t producedTotal = 0;
    std::optional<std::int64_t> firstDistance;
    for (int minute = 1; minute <= 10; ++minute) {
        for (int step = 0; step < 120; ++step) {
            time.advance(500ms);
            const auto n = RingBufferRead(state->monitorRingBuffer(), chunk.data(), chunk.size());
            produced.insert(produced.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
            producedTotal += n;
            while (produced.size() > 16384)
                produced.pop_front();
        }
        const auto recorded = callApp.recording();
        const auto recordedTotal = static_cast<std::int64_t>(callApp.framesRecorded());
        ASSERT_EQ(recorded.size(), 2u * 4096);
        std::vector<float> left(2048), history(produced.begin(), produced.end());
        for (std::size_t i = 0; i < left.size(); ++i) {
            left[i] = recorded[2 * (2048 + i)];
            ASSERT_EQ(recorded[2 * (2048 + i) + 1], left[i]) << "both channels carry the voice";
        }
        ASSERT_GE(history.size(), left.size());
        const auto [correlation, offset] = bestMatch(left, history);
        // The matched sample's place in the produced stream against the recorded frame's place in
        // the recording: constant while nothing is lost, added or repeated on the way.
        const auto producedIndex = static_cast<std::int64_t>(producedTotal - history.size() + offset);
        const std::int64_t distance = producedIndex - (recordedTotal - 2048);
        EXPECT_GE(correlation, 0.99) << "minute " << minute;
        if (!firstDistance)
            firstDistance = distance;
        EXPECT_EQ(distance, *firstDistance) << "minute " << minute;
    }
    callApp.stop();
    state.reset();
}

}  // namespace
