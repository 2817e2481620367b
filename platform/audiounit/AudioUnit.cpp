#include "platform/audiounit/AudioUnit.h"

#include "platform/audiounit/AudioComponentRegistry.h"

using velunto::AudioComponentRegistry;

namespace {

// The interface answers with status codes only; running out of memory or threads is one too.
template <class Body>
OSStatus guarded(Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return kAudioUnitErr_FailedInitialization;
    }
}

// Runs `call` on the unit behind `instance`, or returns why there is none.
template <class Call>
OSStatus withUnit(AudioUnit instance, Call call) noexcept {
    return guarded([&] {
        OSStatus status = noErr;
        const auto unit = AudioComponentRegistry::shared().unit(instance, &status);
        return unit ? call(*unit) : status;
    });
}

}  // namespace

AudioComponent AudioComponentFindNext(AudioComponent inComponent, const AudioComponentDescription* inDesc) {
    return AudioComponentRegistry::shared().findNext(inComponent, inDesc);
}

OSStatus AudioComponentGetDescription(AudioComponent inComponent, AudioComponentDescription* outDesc) {
    return AudioComponentRegistry::shared().description(inComponent, outDesc)
               ? OSStatus{noErr}
               : OSStatus{kAudioUnitErr_InvalidParameter};
}

OSStatus AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance) {
    return guarded([&] { return AudioComponentRegistry::shared().newInstance(inComponent, outInstance); });
}

OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance) {
    return guarded([&] { return AudioComponentRegistry::shared().disposeInstance(inInstance); });
}

OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData, UInt32 inDataSize) {
    return withUnit(inUnit, [&](velunto::AudioUnitBase& unit) {
        return unit.setProperty(inID, inScope, inElement, inData, inDataSize);
    });
}

OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void* outData, UInt32* ioDataSize) {
    return withUnit(inUnit, [&](velunto::AudioUnitBase& unit) {
        return unit.getProperty(inID, inScope, inElement, outData, ioDataSize);
    });
}

OSStatus AudioUnitInitialize(AudioUnit inUnit) {
    return withUnit(inUnit, [](velunto::AudioUnitBase& unit) { return unit.initialize(); });
}

OSStatus AudioUnitUninitialize(AudioUnit inUnit) {
    return withUnit(inUnit, [](velunto::AudioUnitBase& unit) { return unit.uninitialize(); });
}

OSStatus AudioOutputUnitStart(AudioUnit inUnit) {
    return withUnit(inUnit, [](velunto::AudioUnitBase& unit) { return unit.start(); });
}

OSStatus AudioOutputUnitStop(AudioUnit inUnit) {
    return withUnit(inUnit, [](velunto::AudioUnitBase& unit) { return unit.stop(); });
}

OSStatus AudioUnitProcess(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                          const AudioTimeStamp* inTimeStamp, UInt32 inNumberFrames, AudioBufferList* ioData) {
    return withUnit(inUnit, [&](velunto::AudioUnitBase& unit) {
        if (inTimeStamp == nullptr || ioData == nullptr) {
            return OSStatus{kAudioUnitErr_InvalidParameter};
        }
        return unit.process(ioActionFlags, *inTimeStamp, inNumberFrames, *ioData);
    });
}

OSStatus AudioUnitReset(AudioUnit inUnit, AudioUnitScope inScope, AudioUnitElement inElement) {
    return withUnit(inUnit, [&](velunto::AudioUnitBase& unit) {
        if (inScope != kAudioUnitScope_Global) {
            return OSStatus{kAudioUnitErr_InvalidScope};
        }
        if (inElement != 0) {
            return OSStatus{kAudioUnitErr_InvalidElement};
        }
        unit.reset();
        return OSStatus{noErr};
    });
}
