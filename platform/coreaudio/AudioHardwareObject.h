#pragma once

#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/coreaudio/AudioHardwareBase.h"

namespace velunto {

// One property read, in size mode (data == nullptr: only the value's size is wanted) or data mode.
struct AudioPropertyRequest {
    AudioObjectPropertyAddress address{};
    UInt32 qualifierSize = 0;
    const void* qualifier = nullptr;
    UInt32 capacity = 0;   // data mode: bytes the caller's buffer holds
    void* data = nullptr;  // data mode: the caller's buffer
    UInt32 size = 0;       // out: the value's size (size mode) or the bytes written (data mode)

    bool sizeMode() const { return data == nullptr; }

    // '!siz' when the buffer is smaller than the value.
    OSStatus answerBytes(const void* bytes, UInt32 byteCount);

    template <class T>
    OSStatus answer(const T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        return answerBytes(&value, sizeof(T));
    }

    // As many whole elements as fit; never '!siz'.
    template <class T>
    OSStatus answerArray(std::span<const T> values) {
        static_assert(std::is_trivially_copyable_v<T>);
        const auto full = static_cast<UInt32>(values.size() * sizeof(T));
        if (sizeMode()) {
            size = full;
            return kAudioHardwareNoError;
        }
        const UInt32 count = std::min<UInt32>(static_cast<UInt32>(values.size()), capacity / sizeof(T));
        if (count > 0)
            std::memcpy(data, values.data(), count * sizeof(T));
        size = count * static_cast<UInt32>(sizeof(T));
        return kAudioHardwareNoError;
    }

    // A CFStringRef, retained for the caller.
    OSStatus answerString(const std::string& value);
    // A CFArrayRef of CFStringRefs, retained for the caller.
    OSStatus answerStringArray(const std::vector<std::string>& values);
};

// An object of the audio hardware layer as the server publishes it. Reads may come from any thread;
// subclasses guard their own mutable state.
class AudioHardwareObject {
public:
    AudioHardwareObject(AudioObjectID objectID, AudioClassID classID, AudioObjectID owner);
    virtual ~AudioHardwareObject();
    AudioHardwareObject(const AudioHardwareObject&) = delete;
    AudioHardwareObject& operator=(const AudioHardwareObject&) = delete;

    AudioObjectID objectID() const { return objectID_; }
    AudioClassID classID() const { return classID_; }
    AudioObjectID owner() const { return owner_; }

    // Subclasses answer their own selectors and pass the rest here: base class, class, owner;
    // anything else is 'who?'.
    virtual OSStatus readProperty(AudioPropertyRequest& request) const;
    virtual bool isPropertySettable(const AudioObjectPropertyAddress& address) const;
    // 'unop' for properties the object has, 'who?' for others.
    virtual OSStatus writeProperty(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                   const void* qualifier, UInt32 dataSize, const void* data);

    bool hasProperty(const AudioObjectPropertyAddress& address) const;

private:
    const AudioObjectID objectID_;
    const AudioClassID classID_;
    const AudioObjectID owner_;
};

}  // namespace velunto
