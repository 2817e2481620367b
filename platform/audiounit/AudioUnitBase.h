#pragma once

#include <cstdint>
#include <cstring>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audiounit/AudioUnit.h"
#include "platform/audiounit/AudioUnitEditor.h"
#include "platform/foundation/PropertyListValue.h"

namespace velunto {

// One parameter of a unit, as its host lists it. `unit` names the measure ("dB", "ms", "Hz", ...).
struct AudioUnitParameterInfo {
    AudioUnitParameterID id = 0;
    std::string name;
    AudioUnitParameterValue minValue = 0.0f;
    AudioUnitParameterValue maxValue = 0.0f;
    AudioUnitParameterValue defaultValue = 0.0f;
    std::string unit;
};

// What every audio unit instance implements; the C functions of AudioUnit.h forward to it. Calls
// on one instance may come from several threads: an implementation serialises them itself.
class AudioUnitBase {
public:
    virtual ~AudioUnitBase() = default;

    // ioDataSize: the buffer's size in, the bytes written out.
    virtual OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, void* outData,
                                 UInt32* ioDataSize) = 0;
    virtual OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                 const void* inData, UInt32 dataSize) = 0;
    virtual OSStatus initialize() = 0;
    virtual OSStatus uninitialize() = 0;
    virtual OSStatus start() = 0;
    virtual OSStatus stop() = 0;

    // Real-time: processes `io` in place. Units that do not process (the hardware output) answer
    // kAudioUnitErr_CannotDoInCurrentContext.
    virtual OSStatus process(AudioUnitRenderActionFlags* flags, const AudioTimeStamp& time, UInt32 frames,
                             AudioBufferList& io);
    // Clears delay lines and signal history; parameters and properties stay.
    virtual void reset() {}

    // The unit's identity and parameter values as a dictionary, or none for a unit without state.
    virtual std::optional<PropertyListValue> fullState() const { return std::nullopt; }
    // Restores a dictionary from fullState(); false (and nothing changed) if the unit refuses it.
    virtual bool setFullState(const PropertyListValue& dictionary);

    virtual std::vector<AudioUnitParameterInfo> parameters() const { return {}; }
    // None for an unknown id.
    virtual std::optional<AudioUnitParameterValue> parameterValue(AudioUnitParameterID id) const;
    // kAudioUnitErr_InvalidParameter for an unknown id.
    virtual OSStatus setParameterValue(AudioUnitParameterID id, AudioUnitParameterValue value);

    virtual bool hasCustomView() const { return false; }
    // The unit's own editor inside the X11 window `parentX11Window`, or null (no custom view, no
    // window, or the editor could not be made). UI thread.
    virtual std::unique_ptr<AudioUnitEditor> createEditor(std::uintptr_t /*parentX11Window*/) { return nullptr; }

protected:
    AudioUnitBase() = default;

    // Copies a property value out: kAudioUnitErr_InvalidParameter for a missing or short buffer.
    template <class T>
    static OSStatus answerProperty(const T& value, void* outData, UInt32* ioDataSize) {
        if (outData == nullptr || ioDataSize == nullptr || *ioDataSize < sizeof(value))
            return kAudioUnitErr_InvalidParameter;
        std::memcpy(outData, &value, sizeof(value));
        *ioDataSize = sizeof(value);
        return noErr;
    }
    AudioUnitBase(const AudioUnitBase&) = delete;
    AudioUnitBase& operator=(const AudioUnitBase&) = delete;
};

inline OSStatus AudioUnitBase::process(AudioUnitRenderActionFlags*, const AudioTimeStamp&, UInt32, AudioBufferList&) {
    return kAudioUnitErr_CannotDoInCurrentContext;
}

inline bool AudioUnitBase::setFullState(const PropertyListValue&) {
    return false;
}

inline std::optional<AudioUnitParameterValue> AudioUnitBase::parameterValue(AudioUnitParameterID) const {
    return std::nullopt;
}

inline OSStatus AudioUnitBase::setParameterValue(AudioUnitParameterID, AudioUnitParameterValue) {
    return kAudioUnitErr_InvalidParameter;
}

}  // namespace velunto
