#pragma once

// Conversions between CFString and std::string, and an owning reference for C++ code.

#include <optional>
#include <string>
#include <utility>

#include "platform/corefoundation/CoreFoundation.h"

namespace velunto {

// The UTF-8 contents, or nothing for NULL or a non-string.
inline std::optional<std::string> stringFromCFString(CFTypeRef value) {
    if (!value || CFGetTypeID(value) != CFStringGetTypeID())
        return std::nullopt;
    auto string = static_cast<CFStringRef>(value);
    if (const char* direct = CFStringGetCStringPtr(string, kCFStringEncodingUTF8))
        return std::string(direct);
    const CFIndex capacity = CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
    std::string buffer(static_cast<std::size_t>(capacity), '\0');
    if (!CFStringGetCString(string, buffer.data(), capacity, kCFStringEncodingUTF8))
        return std::nullopt;
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

// Owns one reference (released when it goes); `adopt` takes a +1 reference, `retain` adds one.
template <class Ref>
class CFOwned {
public:
    CFOwned() = default;
    static CFOwned adopt(Ref ref) { return CFOwned(ref); }
    static CFOwned retain(Ref ref) { return CFOwned(ref ? static_cast<Ref>(CFRetain(ref)) : nullptr); }
    CFOwned(CFOwned&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
    CFOwned& operator=(CFOwned&& other) noexcept {
        if (this != &other) {
            reset();
            ref_ = std::exchange(other.ref_, nullptr);
        }
        return *this;
    }
    CFOwned(const CFOwned&) = delete;
    CFOwned& operator=(const CFOwned&) = delete;
    ~CFOwned() { reset(); }

    Ref get() const { return ref_; }
    explicit operator bool() const { return ref_ != nullptr; }
    void reset() {
        if (ref_)
            CFRelease(ref_);
        ref_ = nullptr;
    }

private:
    explicit CFOwned(Ref ref) : ref_(ref) {}
    Ref ref_ = nullptr;
};

inline CFOwned<CFStringRef> makeCFString(const std::string& value) {
    return CFOwned<CFStringRef>::adopt(
        CFStringCreateWithCString(kCFAllocatorDefault, value.c_str(), kCFStringEncodingUTF8));
}

}  // namespace velunto
