#pragma once

#include <functional>
#include <mutex>
#include <optional>

#include "platform/audiounit/AudioUnitBase.h"
#include "platform/coreaudio/AudioHardware.h"

namespace velunto {

// The input side of the hardware I/O unit, as the audio engine's input node uses it: bound to one
// device through kAudioOutputUnitProperty_CurrentDevice (the default input until set), it runs an I/O
// proc on that device and hands every input block to its handler on the device's I/O thread.
class HALInputUnit : public AudioUnitBase {
public:
    // Real-time: the device's input (first stream, channels interleaved) and the frame count.
    using InputHandler =
        std::function<void(const AudioTimeStamp& inputTime, const AudioBufferList& input, UInt32 frames)>;

    HALInputUnit();
    ~HALInputUnit() override;

    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, void* outData,
                         UInt32* ioDataSize) override;
    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, const void* inData,
                         UInt32 dataSize) override;
    OSStatus initialize() override;
    OSStatus uninitialize() override;
    OSStatus start() override;
    OSStatus stop() override;

    // Set before start; not while running.
    void setInputHandler(InputHandler handler);
    AudioObjectID currentDevice() const;

private:
    static OSStatus ioProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input,
                           const AudioTimeStamp* inputTime, AudioBufferList*, const AudioTimeStamp*, void* self);

    mutable std::recursive_mutex mutex_;
    AudioObjectID device_ = kAudioObjectUnknown;
    bool initialized_ = false;
    bool running_ = false;
    AudioDeviceIOProcID procID_ = nullptr;
    AudioObjectID procDevice_ = kAudioObjectUnknown;
    InputHandler handler_;
};

}  // namespace velunto
