#pragma once

#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "mic-driver/VeluntoMicDriver.h"

namespace velunto {

// The driver reached through its factory and QueryInterface, as the audio server reaches it.
struct MicDriver {
    AudioServerPlugInDriverRef ref = nullptr;
    AudioServerPlugInDriverInterface* operator->() const { return *ref; }
};

// A host that records PropertiesChanged calls.
class RecordingHost {
public:
    struct Change {
        AudioObjectID object;
        AudioObjectPropertySelector selector;
        AudioObjectPropertyScope scope;
        AudioObjectPropertyElement element;
        UInt32 count;
        bool operator==(const Change&) const = default;
    };

    RecordingHost() { interface_.PropertiesChanged = &RecordingHost::propertiesChanged; }
    AudioServerPlugInHostRef ref() const { return &interface_; }

    std::vector<Change> takeChanges() {
        std::lock_guard lock(mutex_);
        return std::exchange(changes_, {});
    }

private:
    static OSStatus propertiesChanged(AudioServerPlugInHostRef host, AudioObjectID object, UInt32 count,
                                      const AudioObjectPropertyAddress* addresses) {
        // The interface is the first member, so the host reference is the recorder.
        auto* self = reinterpret_cast<RecordingHost*>(const_cast<AudioServerPlugInHostInterface*>(host));
        std::lock_guard lock(self->mutex_);
        for (UInt32 i = 0; i < count; ++i)
            self->changes_.push_back(
                {object, addresses[i].mSelector, addresses[i].mScope, addresses[i].mElement, count});
        return 0;
    }

    AudioServerPlugInHostInterface interface_{};
    std::mutex mutex_;
    std::vector<Change> changes_;
};

// Takes the driver from a factory: create, ask for the driver interface, initialize.
inline MicDriver openMicDriver(void* (*factory)(CFAllocatorRef, CFUUIDRef), AudioServerPlugInHostRef host) {
    void* created = factory(nullptr, kAudioServerPlugInTypeUUID);
    if (!created)
        return {};
    auto* table = *static_cast<AudioServerPlugInDriverInterface**>(created);
    void* driver = nullptr;
    if (table->QueryInterface(created, CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID), &driver) != 0)
        return {};
    MicDriver mic{static_cast<AudioServerPlugInDriverRef>(driver)};
    if (mic->Initialize(mic.ref, host) != 0)
        return {};
    return mic;
}

inline AudioServerPlugInIOCycleInfo cycleAt(Float64 inputTime, Float64 outputTime) {
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mInputTime.mSampleTime = inputTime;
    cycle.mOutputTime.mSampleTime = outputTime;
    return cycle;
}

struct StereoFrame {
    float left;
    float right;
    bool operator==(const StereoFrame&) const = default;
};

inline OSStatus writeFeed(MicDriver mic, Float64 sampleTime, std::vector<StereoFrame>& frames) {
    const auto cycle = cycleAt(0, sampleTime);
    return mic->DoIOOperation(mic.ref, kVeluntoMicFeedDeviceID, kVeluntoMicFeedStreamID, 0,
                              kAudioServerPlugInIOOperationWriteMix, static_cast<UInt32>(frames.size()), &cycle,
                              frames.data(), nullptr);
}

inline OSStatus readMic(MicDriver mic, Float64 sampleTime, std::vector<StereoFrame>& frames) {
    const auto cycle = cycleAt(sampleTime, 0);
    return mic->DoIOOperation(mic.ref, kVeluntoMicDeviceID, kVeluntoMicStreamID, 0,
                              kAudioServerPlugInIOOperationReadInput, static_cast<UInt32>(frames.size()), &cycle,
                              frames.data(), nullptr);
}

}  // namespace velunto
