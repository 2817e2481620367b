#pragma once

#include "platform/audiounit/AudioUnit.h"

namespace velunto {

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

protected:
    AudioUnitBase() = default;
    AudioUnitBase(const AudioUnitBase&) = delete;
    AudioUnitBase& operator=(const AudioUnitBase&) = delete;
};

}  // namespace velunto
