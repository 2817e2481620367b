#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/coreaudio/AudioHardware.h"
#include "platform/sim/RecordingTimeline.h"
#include "platform/sim/SimulatedRecorder.h"

namespace velunto {

// What a call app does with a microphone: it looks the input device up by its UID and records it
// through the audio server, into memory (the newest maxFrames) or a WAV file. Input is kept
// interleaved, at the device's rate and channel count.
class SimulatedCallApp {
public:
    explicit SimulatedCallApp(std::string deviceUID);
    ~SimulatedCallApp();
    SimulatedCallApp(const SimulatedCallApp&) = delete;
    SimulatedCallApp& operator=(const SimulatedCallApp&) = delete;

    // False if there is no such input device or its I/O does not start.
    bool recordToMemory(std::size_t maxFrames);
    bool recordToWAV(const std::string& path);
    void stop();

    std::vector<float> recording() const;
    std::uint32_t channels() const { return channels_; }
    double sampleRate() const { return sampleRate_; }
    // Input sample time of the first frame recorded, on the device's timeline.
    double firstSampleTime() const;
    // Host time of that frame, ns; 0 before the first.
    std::uint64_t firstHostTime() const;
    // Frames recorded since the recording started.
    std::uint64_t framesRecorded() const;
    // When each recorded frame was captured, also after cycles the device skipped.
    RecordingTimeline timeline() const;

private:
    bool start(std::unique_ptr<SimulatedRecorder> recorder);
    bool lookUp();
    static OSStatus ioProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input,
                           const AudioTimeStamp* inputTime, AudioBufferList*, const AudioTimeStamp*, void* self);

    const std::string uid_;
    AudioObjectID device_ = kAudioObjectUnknown;
    std::uint32_t channels_ = 0;
    double sampleRate_ = 0;
    AudioDeviceIOProcID proc_ = nullptr;
    mutable std::mutex mutex_;
    std::unique_ptr<SimulatedRecorder> recorder_;
    RecordingTimeline timeline_;
    std::uint64_t framesRecorded_ = 0;
};

}  // namespace velunto
