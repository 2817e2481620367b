#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "platform/corefoundation/CFRuntime.h"

struct __CFUUID {
    velunto::CFRuntimeBase base;
    CFUUIDBytes bytes;
};

namespace {

using velunto::CFRuntime;
using UUIDKey = std::array<UInt8, sizeof(CFUUIDBytes)>;

void destroyUUID(CFTypeRef cf) {
    delete static_cast<const __CFUUID*>(cf);
}

bool uuidsEqual(CFTypeRef a, CFTypeRef b) {
    const auto* x = static_cast<const __CFUUID*>(a);
    const auto* y = static_cast<const __CFUUID*>(b);
    return std::memcmp(&x->bytes, &y->bytes, sizeof(CFUUIDBytes)) == 0;
}

constexpr velunto::CFRuntimeClass kUUIDClass{velunto::kCFUUIDTypeIDValue, "CFUUID", destroyUUID, uuidsEqual};

const __CFUUID& asUUID(CFUUIDRef uuid, const char* function) {
    return CFRuntime::cast<__CFUUID>(uuid, kUUIDClass, function);
}

// Interned UUIDs, never freed.
struct ConstantUUIDs {
    std::mutex mutex;
    std::map<UUIDKey, const __CFUUID*> byBytes;
};

ConstantUUIDs& constantUUIDs() {
    static auto* table = new ConstantUUIDs;  // outlives every static destructor that may still use it
    return *table;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

extern "C" {

CFTypeID CFUUIDGetTypeID(void) {
    return velunto::kCFUUIDTypeIDValue;
}

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef, CFUUIDBytes bytes) {
    return new (std::nothrow) __CFUUID{CFRuntime::makeBase(kUUIDClass, false), bytes};
}

CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef alloc, CFStringRef uuidString) {
    constexpr std::size_t kLength = 36;  // 8-4-4-4-12 hex digits
    if (uuidString == nullptr)
        return nullptr;
    const char* text = CFStringGetCStringPtr(uuidString, kCFStringEncodingUTF8);
    if (std::strlen(text) != kLength || CFStringGetLength(uuidString) != static_cast<CFIndex>(kLength))
        return nullptr;  // the second check catches text after an embedded NUL
    UUIDKey key{};
    std::size_t nibble = 0;
    for (std::size_t i = 0; i < kLength; ++i) {
        const bool hyphenPosition = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphenPosition) {
            if (text[i] != '-')
                return nullptr;
            continue;
        }
        const int digit = hexDigit(text[i]);
        if (digit < 0)
            return nullptr;
        key[nibble / 2] = static_cast<UInt8>(key[nibble / 2] << 4 | digit);
        ++nibble;
    }
    CFUUIDBytes bytes;
    std::memcpy(&bytes, key.data(), sizeof bytes);
    return CFUUIDCreateFromUUIDBytes(alloc, bytes);
}

CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef, UInt8 byte0, UInt8 byte1, UInt8 byte2, UInt8 byte3,
                                         UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7, UInt8 byte8, UInt8 byte9,
                                         UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13, UInt8 byte14,
                                         UInt8 byte15) {
    const UUIDKey key{byte0, byte1, byte2,  byte3,  byte4,  byte5,  byte6,  byte7,
                      byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15};
    auto& table = constantUUIDs();
    const std::lock_guard lock{table.mutex};
    if (const auto it = table.byBytes.find(key); it != table.byBytes.end())
        return it->second;
    CFUUIDBytes bytes;
    std::memcpy(&bytes, key.data(), sizeof bytes);
    const auto* uuid = new __CFUUID{CFRuntime::makeBase(kUUIDClass, true), bytes};
    table.byBytes.emplace(key, uuid);
    return uuid;
}

CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid) {
    return asUUID(uuid, "CFUUIDGetUUIDBytes").bytes;
}

CFStringRef CFUUIDCreateString(CFAllocatorRef alloc, CFUUIDRef uuid) {
    const CFUUIDBytes& b = asUUID(uuid, "CFUUIDCreateString").bytes;
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b.byte0,
                  b.byte1, b.byte2, b.byte3, b.byte4, b.byte5, b.byte6, b.byte7, b.byte8, b.byte9, b.byte10, b.byte11,
                  b.byte12, b.byte13, b.byte14, b.byte15);
    return CFStringCreateWithCString(alloc, text, kCFStringEncodingUTF8);
}

}  // extern "C"
