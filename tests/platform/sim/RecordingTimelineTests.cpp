#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "platform/coreaudio/AudioHardware.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/RecordingTimeline.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedCallApp.h"
#include "tests/support/SimulatedDevices.h"

using namespace velunto;
using namespace std::chrono_literals;

TEST(RecordingTimeline, CountsOnAtTheRateAndResumesWhereCyclesWereSkipped) {
    RecordingTimeline timeline(1000);  // 1 ms per frame
    EXPECT_EQ(timeline.hostTime(5), 0u);
    EXPECT_EQ(timeline.firstSampleTime(), -1);
    timeline.note(0, 300, 1'000'000'000, 100);
    timeline.note(100, 400, 1'100'000'000, 100);
    // Five cycles skipped: the next frames were captured 600 ms after the last ones began.
    timeline.note(200, 1000, 1'700'000'000, 100);
    timeline.note(300, 1100, 1'800'000'000, 100);
    EXPECT_EQ(timeline.firstSampleTime(), 300);
    EXPECT_EQ(timeline.firstHostTime(), 1'000'000'000u);
    EXPECT_EQ(timeline.resumptions(), 1u);
    EXPECT_EQ(timeline.hostTime(0), 1'000'000'000u);
    EXPECT_EQ(timeline.hostTime(199), 1'199'000'000u);
    EXPECT_EQ(timeline.hostTime(200), 1'700'000'000u);
    EXPECT_EQ(timeline.hostTime(350), 1'850'000'000u);
}

// A second client on the same microphone holds one cycle up for 300 ms, so the device skips the
// cycles it missed. Every frame the call app recorded, before and after, maps to the host time the
// device stamped it with.
TEST(RecordingTimeline, ACallAppsRecordingIsPlacedByItsCyclesAfterTheDeviceSkippedSome) {
    VirtualTime time;
    SimulatedAudioHardware hardware;
    SimulatedDeviceDescription mic = simulatedDevice("rt.mic", "rt.mic", 1, 0);
    mic.nominalSampleRate = 48000;
    mic.bufferFrameSize = 480;
    const AudioObjectID id = hardware.plug(mic);

    SimulatedCallApp callApp("rt.mic");
    ASSERT_TRUE(callApp.recordToMemory(48000 * 4));

    struct Stamps {
        std::vector<AudioTimeStamp> cycles;
        bool stalled = false;
    } stamps;
    const auto proc = [](AudioObjectID, const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp* inputTime,
                         AudioBufferList*, const AudioTimeStamp*, void* data) -> OSStatus {
        auto& s = *static_cast<Stamps*>(data);
        s.cycles.push_back(*inputTime);
        if (s.cycles.size() == 50 && !s.stalled) {
            s.stalled = true;
            DispatchSemaphore never(0);
            never.wait(DispatchTime::now() + 300ms);
        }
        return 0;
    };
    AudioDeviceIOProcID procID = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(id, proc, &stamps, &procID), 0);
    ASSERT_EQ(AudioDeviceStart(id, procID), 0);
    time.advance(2s);
    ASSERT_EQ(AudioDeviceStop(id, procID), 0);
    AudioDeviceDestroyIOProcID(id, procID);
    callApp.stop();

    const RecordingTimeline timeline = callApp.timeline();
    ASSERT_EQ(timeline.resumptions(), 1u);
    ASSERT_GT(stamps.cycles.size(), 60u);
    EXPECT_GT(stamps.cycles[50].mSampleTime - stamps.cycles[49].mSampleTime, 480.0 * 8) << "cycles were skipped";
    // Both clients ran in the same cycles from the first on: frame k came in cycle k / 480.
    ASSERT_EQ(callApp.framesRecorded(), stamps.cycles.size() * 480);
    for (std::size_t cycle = 0; cycle < stamps.cycles.size(); cycle += 7)
        for (std::uint64_t offset : {0u, 479u}) {
            const double expected =
                static_cast<double>(stamps.cycles[cycle].mHostTime) + static_cast<double>(offset) * 1e9 / 48000;
            EXPECT_NEAR(static_cast<double>(timeline.hostTime(cycle * 480 + offset)), expected, 1000.0) << cycle;
        }
}
