#pragma once

#include <stdlib.h>

#include <string>
#include <vector>

#include "platform/corefoundation/CFStringBridge.h"
#include "platform/coremediaio/CMIOHardware.h"

namespace velunto::cmiotest {

inline constexpr CMIOObjectPropertyAddress address(CMIOObjectPropertySelector selector) {
    return {selector, kCMIOObjectPropertyScopeGlobal, kCMIOObjectPropertyElementMain};
}

// Points the socket directory at a fresh directory of this process's own (once).
inline void usePrivateSocketDirectory() {
    static const std::string directory = [] {
        char pattern[] = "/tmp/velunto-cmio-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        return std::string(made ? made : "/tmp");
    }();
    setenv("XDG_RUNTIME_DIR", directory.c_str(), 1);
}

template <class T>
T readValue(CMIOObjectID object, CMIOObjectPropertySelector selector, OSStatus* status = nullptr) {
    T value{};
    UInt32 used = 0;
    const auto where = address(selector);
    const OSStatus result = CMIOObjectGetPropertyData(object, &where, 0, nullptr, sizeof value, &used, &value);
    if (status)
        *status = result;
    return value;
}

inline std::string readString(CMIOObjectID object, CMIOObjectPropertySelector selector) {
    CFStringRef value = nullptr;
    UInt32 used = 0;
    const auto where = address(selector);
    if (CMIOObjectGetPropertyData(object, &where, 0, nullptr, sizeof value, &used, &value) != kCMIOHardwareNoError ||
        !value)
        return "<error>";
    auto text = stringFromCFString(value).value_or("<not a string>");
    CFRelease(value);
    return text;
}

template <class T>
std::vector<T> readArray(CMIOObjectID object, CMIOObjectPropertySelector selector) {
    const auto where = address(selector);
    UInt32 size = 0;
    if (CMIOObjectGetPropertyDataSize(object, &where, 0, nullptr, &size) != kCMIOHardwareNoError)
        return {};
    std::vector<T> values(size / sizeof(T));
    UInt32 used = 0;
    if (CMIOObjectGetPropertyData(object, &where, 0, nullptr, size, &used, values.data()) != kCMIOHardwareNoError)
        return {};
    values.resize(used / sizeof(T));
    return values;
}

inline std::vector<CMIOObjectID> deviceList() {
    return readArray<CMIOObjectID>(kCMIOObjectSystemObject, 'dev#');
}

// The device whose UID is uid, or kCMIOObjectUnknown.
inline CMIOObjectID findDevice(const std::string& uid) {
    for (CMIOObjectID device : deviceList())
        if (readString(device, kCMIODevicePropertyDeviceUID) == uid)
            return device;
    return kCMIOObjectUnknown;
}

}  // namespace velunto::cmiotest
