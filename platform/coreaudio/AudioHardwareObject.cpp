#include "platform/coreaudio/AudioHardwareObject.h"

#include "platform/corefoundation/CoreFoundation.h"

namespace velunto {

OSStatus AudioPropertyRequest::answerBytes(const void* bytes, UInt32 byteCount) {
    if (!sizeMode()) {
        if (capacity < byteCount)
            return kAudioHardwareBadPropertySizeError;
        std::memcpy(data, bytes, byteCount);
    }
    size = byteCount;
    return kAudioHardwareNoError;
}

OSStatus AudioPropertyRequest::answerString(const std::string& value) {
    if (sizeMode()) {
        size = sizeof(CFStringRef);
        return kAudioHardwareNoError;
    }
    if (capacity < sizeof(CFStringRef))
        return kAudioHardwareBadPropertySizeError;
    CFStringRef string = CFStringCreateWithCString(kCFAllocatorDefault, value.c_str(), kCFStringEncodingUTF8);
    if (!string)
        return kAudioHardwareUnspecifiedError;
    return answer(string);
}

OSStatus AudioPropertyRequest::answerStringArray(const std::vector<std::string>& values) {
    if (sizeMode()) {
        size = sizeof(CFArrayRef);
        return kAudioHardwareNoError;
    }
    if (capacity < sizeof(CFArrayRef))
        return kAudioHardwareBadPropertySizeError;
    std::vector<const void*> strings;
    for (const auto& value : values) {
        CFStringRef string = CFStringCreateWithCString(kCFAllocatorDefault, value.c_str(), kCFStringEncodingUTF8);
        if (string)
            strings.push_back(string);
    }
    CFArrayRef array = CFArrayCreate(kCFAllocatorDefault, strings.data(), static_cast<CFIndex>(strings.size()),
                                     &kCFTypeArrayCallBacks);
    for (const void* string : strings)
        CFRelease(string);
    if (!array)
        return kAudioHardwareUnspecifiedError;
    return answer(array);
}

AudioHardwareObject::AudioHardwareObject(AudioObjectID objectID, AudioClassID classID, AudioObjectID owner)
    : objectID_(objectID), classID_(classID), owner_(owner) {}

AudioHardwareObject::~AudioHardwareObject() = default;

OSStatus AudioHardwareObject::readProperty(AudioPropertyRequest& request) const {
    switch (request.address.mSelector) {
        case kAudioObjectPropertyBaseClass:
            return request.answer<AudioClassID>(kAudioObjectClassID);
        case kAudioObjectPropertyClass:
            return request.answer<AudioClassID>(classID_);
        case kAudioObjectPropertyOwner:
            return request.answer<AudioObjectID>(owner_);
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

bool AudioHardwareObject::isPropertySettable(const AudioObjectPropertyAddress&) const {
    return false;
}

OSStatus AudioHardwareObject::writeProperty(const AudioObjectPropertyAddress& address, UInt32, const void*, UInt32,
                                            const void*) {
    return hasProperty(address) ? kAudioHardwareUnsupportedOperationError : kAudioHardwareUnknownPropertyError;
}

bool AudioHardwareObject::hasProperty(const AudioObjectPropertyAddress& address) const {
    AudioPropertyRequest request;
    request.address = address;
    OSStatus status = readProperty(request);
    return status == kAudioHardwareNoError;
}

}  // namespace velunto
