#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/coreaudio/AudioHardwareDevice.h"

namespace velunto {

class AudioServerPlugInDriver;

// A stream of a driver's device: its IDs on both sides and its direction.
struct AudioServerPlugInStream {
    AudioObjectID serverID = kAudioObjectUnknown;
    AudioObjectID driverID = kAudioObjectUnknown;
    bool isInput = false;
};

// A driver's device as the server publishes it. Property calls go to the driver; the host answers the
// stream configuration ('slay', from the streams' virtual formats) and, unless the driver does, the
// I/O buffer size ('fsiz'). I/O runs through the driver's I/O operations into buffers allocated when
// I/O starts.
class AudioServerPlugInDevice : public AudioHardwareDevice {
public:
    static constexpr UInt32 kHostBufferFrameSize = 512;
    // The client ID the host's I/O runs under.
    static constexpr UInt32 kClientID = 1;

    AudioServerPlugInDevice(AudioObjectID objectID, AudioObjectID owner,
                            std::shared_ptr<AudioServerPlugInDriver> driver, AudioObjectID driverObjectID,
                            std::string uid, std::vector<AudioServerPlugInStream> streams);

    AudioObjectID driverObjectID() const { return driverObjectID_; }
    const std::vector<AudioServerPlugInStream>& streams() const { return streams_; }

    OSStatus readProperty(AudioPropertyRequest& request) const override;
    bool isPropertySettable(const AudioObjectPropertyAddress& address) const override;
    OSStatus writeProperty(const AudioObjectPropertyAddress& address, UInt32 qualifierSize, const void* qualifier,
                           UInt32 dataSize, const void* data) override;

    std::string uid() const override { return uid_; }
    bool isAlive() const override;
    bool isHidden() const override;
    AudioDeviceIOLayout ioLayout() const override;
    // The driver's zero time stamp as the anchor, the nominal sample rate as the speed.
    AudioDeviceTimeline timeline() const override;
    OSStatus startIO() override;
    void stopIO() override;
    // Real-time.
    void readInput(const AudioDeviceIOCycle& cycle, AudioBufferList& input) override;
    void writeOutput(const AudioDeviceIOCycle& cycle, const AudioBufferList& output) override;

    // Inside an admitted call into the driver, off the I/O thread: pauses running I/O, lets the driver
    // perform the change, and restarts I/O with buffers of the new shape.
    void performConfigurationChange(UInt64 action, void* info);

private:
    struct StreamBuffer {
        AudioObjectID driverID;
        bool isInput;
        UInt32 channels;
        std::vector<float> samples;  // channels × capacityFrames_, interleaved
    };
    class IOScope;
    template <class PerStream>
    void runOperation(UInt32 operation, bool input, const AudioDeviceIOCycle& cycle, PerStream perStream);

    UInt32 streamChannels(AudioObjectID driverStreamID) const;
    UInt32 bufferFrameSize() const;
    bool driverAnswersBufferFrameSize() const;
    OSStatus answerStreamConfiguration(AudioPropertyRequest& request) const;
    void prepareBuffersLocked();
    void pauseIOLocked();

    const std::shared_ptr<AudioServerPlugInDriver> driver_;
    const AudioObjectID driverObjectID_;
    const std::string uid_;
    const std::vector<AudioServerPlugInStream> streams_;

    std::mutex controlMutex_;  // start, stop and configuration changes; never taken on the I/O thread
    bool running_ = false;
    // Written only while no cycle can touch them: before I/O starts, or while it is paused.
    std::vector<StreamBuffer> buffers_;
    UInt32 capacityFrames_ = 0;
    std::atomic<bool> paused_{false};
    std::atomic<std::uint32_t> cyclesInside_{0};
};

}  // namespace velunto
