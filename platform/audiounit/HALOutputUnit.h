#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "platform/audiounit/AudioUnitBase.h"
#include "platform/audiounit/OutputConverter.h"
#include "platform/coreaudio/AudioHardware.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

// The hardware-output unit ('ahal'), output only: it pulls its render callback in the client format
// on the device's I/O thread and plays the result on the current device.
//
// Properties (size must be exact on set, at least the value's on get):
// - EnableIO (2003, UInt32): input scope element 1 accepts only 0; output scope element 0, default 1.
// - CurrentDevice (2000, global 0, AudioObjectID): until set, the system's default output device.
// - StreamFormat (8, 40 bytes): input scope element 0 is the client format (32-bit float,
//   interleaved or not, 1-8 channels, 8000-384000 Hz; until set, the device's rate and channel
//   count, at most 8, interleaved); output scope element 0 is the device's format, read-only.
// - SetRenderCallback (23, input 0), MaximumFramesPerSlice (14, global 0, 1-16384, default 4096),
//   Latency (12, global 0, Float64 seconds the converter adds, read-only).
// While initialised, EnableIO, CurrentDevice, StreamFormat and MaximumFramesPerSlice answer
// kAudioUnitErr_Initialized: the converter and its buffers are built for them by AudioUnitInitialize.
// The render callback can be replaced while the unit is stopped; while it runs the answer is
// kAudioUnitErr_CannotDoInCurrentContext. Do not call the unit from inside its render callback.
class HALOutputUnit final : public AudioUnitBase {
public:
    HALOutputUnit();
    ~HALOutputUnit() override;

    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, void* outData,
                         UInt32* ioDataSize) override;
    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, const void* inData,
                         UInt32 dataSize) override;
    // Reads the device's nominal rate and output channels, builds the converter and every buffer,
    // creates the device I/O proc and watches the device's nominal rate.
    OSStatus initialize() override;
    // Stops, destroys the I/O proc, stops watching the rate.
    OSStatus uninitialize() override;
    OSStatus start() override;
    // When it returns the render callback is not running and will not be called again.
    OSStatus stop() override;

private:
    struct RateWatch;

    static OSStatus deviceIOProc(AudioObjectID device, const AudioTimeStamp* now, const AudioBufferList* inputData,
                                 const AudioTimeStamp* inputTime, AudioBufferList* outputData,
                                 const AudioTimeStamp* outputTime, void* clientData);

    OSStatus initializeLocked();
    OSStatus currentDeviceLocked(AudioObjectID* outDevice) const;
    OSStatus deviceFormatLocked(AudioStreamBasicDescription* outFormat) const;
    AudioStreamBasicDescription clientFormatLocked() const;
    void tearDownLocked();

    std::mutex mutex_;
    UInt32 outputEnabled_ = 1;
    std::optional<AudioObjectID> chosenDevice_;
    std::optional<AudioStreamBasicDescription> clientFormat_;
    AURenderCallbackStruct callback_{nullptr, nullptr};
    UInt32 maxFramesPerSlice_ = 4096;
    bool initialized_ = false;
    bool running_ = false;

    // Fixed from initialize() to uninitialize(); the I/O proc reads them.
    AudioObjectID device_ = kAudioObjectUnknown;
    AudioStreamBasicDescription deviceFormat_{};
    std::unique_ptr<OutputConverter> converter_;
    std::shared_ptr<RateWatch> rateWatch_;
    AudioDeviceIOProcID procID_ = nullptr;
    AudioObjectPropertyListenerBlock rateListener_;
    std::optional<DispatchQueue> listenerQueue_;
};

}  // namespace velunto
