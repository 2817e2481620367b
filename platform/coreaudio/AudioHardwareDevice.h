#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/coreaudio/AudioHardwareObject.h"

namespace velunto {

// Where a device's sample timeline stands against the host clock: at host time anchorHostTime (ns) the
// device was at anchorSampleTime, and it advances framesPerSecond frames per second of host time.
struct AudioDeviceTimeline {
    double anchorSampleTime = 0;
    std::uint64_t anchorHostTime = 0;
    double framesPerSecond = 48000.0;

    double sampleTimeAt(std::uint64_t hostTime) const;
    std::uint64_t hostTimeAt(double sampleTime) const;
};

// The shape of a device's I/O: channels of each stream per direction, frames per cycle, and the
// safety offsets the server keeps between the cycle's time and the input and output times.
struct AudioDeviceIOLayout {
    std::vector<UInt32> inputStreams;
    std::vector<UInt32> outputStreams;
    UInt32 bufferFrameSize = 512;
    UInt32 inputSafetyOffset = 0;
    UInt32 outputSafetyOffset = 0;
};

// One I/O cycle: now is a multiple of the buffer frame size on the device's timeline; the input
// covers the buffer that has just been captured, the output the one that will be played next.
struct AudioDeviceIOCycle {
    std::uint64_t counter = 0;
    UInt32 frames = 0;
    AudioTimeStamp now{};
    AudioTimeStamp inputTime{};
    AudioTimeStamp outputTime{};
    double hostTicksPerFrame = 0;
};

// A device the server can run I/O on. Providers (simulated hardware, driver plug-ins) implement it.
class AudioHardwareDevice : public AudioHardwareObject {
public:
    using AudioHardwareObject::AudioHardwareObject;

    virtual std::string uid() const = 0;
    virtual bool isAlive() const = 0;
    virtual bool isHidden() const = 0;
    virtual AudioDeviceIOLayout ioLayout() const = 0;
    // Called on the I/O thread before every cycle.
    virtual AudioDeviceTimeline timeline() const = 0;

    // The first client starts and the last one stops the device's I/O.
    virtual OSStatus startIO() = 0;
    virtual void stopIO() = 0;

    // Real-time, on the device's I/O thread: fill the input buffers, then take the mixed output.
    virtual void readInput(const AudioDeviceIOCycle& cycle, AudioBufferList& input) = 0;
    virtual void writeOutput(const AudioDeviceIOCycle& cycle, const AudioBufferList& output) = 0;
};

}  // namespace velunto
