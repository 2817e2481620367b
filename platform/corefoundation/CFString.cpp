#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_map>

#include "platform/corefoundation/CFRuntime.h"

struct __CFString {
    velunto::CFRuntimeBase base;
    const char* bytes;  // UTF-8 with a terminating NUL, owned
    CFIndex byteCount;
    CFIndex utf16Length;
};

namespace {

using velunto::CFRuntime;

void destroyString(CFTypeRef cf) {
    const auto* str = static_cast<const __CFString*>(cf);
    delete[] str->bytes;
    delete str;
}

bool stringsEqual(CFTypeRef a, CFTypeRef b) {
    const auto* x = static_cast<const __CFString*>(a);
    const auto* y = static_cast<const __CFString*>(b);
    return x->byteCount == y->byteCount && std::memcmp(x->bytes, y->bytes, static_cast<std::size_t>(x->byteCount)) == 0;
}

constexpr velunto::CFRuntimeClass kStringClass{velunto::kCFStringTypeIDValue, "CFString", destroyString, stringsEqual};

const __CFString& asString(CFStringRef str, const char* function) {
    return CFRuntime::cast<__CFString>(str, kStringClass, function);
}

// UTF-16 code units of well-formed UTF-8; -1 for overlong forms, surrogates, code points past
// U+10FFFF, stray continuation bytes and truncated sequences.
CFIndex utf16Length(const unsigned char* p, std::size_t n) {
    CFIndex units = 0;
    std::size_t i = 0;
    while (i < n) {
        const unsigned lead = p[i];
        if (lead < 0x80) {
            ++units;
            ++i;
            continue;
        }
        std::size_t length = 0;
        char32_t smallest = 0;
        if ((lead & 0xE0u) == 0xC0u) {
            length = 2;
            smallest = 0x80;
        } else if ((lead & 0xF0u) == 0xE0u) {
            length = 3;
            smallest = 0x800;
        } else if ((lead & 0xF8u) == 0xF0u) {
            length = 4;
            smallest = 0x10000;
        } else {
            return -1;
        }
        if (n - i < length)
            return -1;
        char32_t cp = lead & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            if ((p[i + k] & 0xC0u) != 0x80u)
                return -1;
            cp = (cp << 6) | (p[i + k] & 0x3Fu);
        }
        if (cp < smallest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return -1;
        units += length == 4 ? 2 : 1;
        i += length;
    }
    return units;
}

// A new string with a retain count of 1, or NULL if the bytes are not UTF-8 or memory ran out.
__CFString* makeString(const unsigned char* bytes, std::size_t count, bool constant) {
    const CFIndex units = utf16Length(bytes, count);
    if (units < 0 || count > static_cast<std::size_t>(std::numeric_limits<CFIndex>::max()))
        return nullptr;
    char* copy = new (std::nothrow) char[count + 1];
    if (copy == nullptr)
        return nullptr;
    if (count > 0)
        std::memcpy(copy, bytes, count);
    copy[count] = '\0';
    auto* str = new (std::nothrow)
        __CFString{CFRuntime::makeBase(kStringClass, constant), copy, static_cast<CFIndex>(count), units};
    if (str == nullptr)
        delete[] copy;
    return str;
}

// Interned strings, keyed by their own bytes; neither is ever freed.
struct ConstantStrings {
    std::mutex mutex;
    std::unordered_map<std::string_view, const __CFString*> byText;
};

ConstantStrings& constantStrings() {
    static auto* table = new ConstantStrings;  // outlives every static destructor that may still use it
    return *table;
}

}  // namespace

extern "C" {

CFTypeID CFStringGetTypeID(void) {
    return velunto::kCFStringTypeIDValue;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding encoding) {
    if (cStr == nullptr || encoding != kCFStringEncodingUTF8)
        return nullptr;
    return makeString(reinterpret_cast<const unsigned char*>(cStr), std::strlen(cStr), false);
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean isExternalRepresentation) {
    if (encoding != kCFStringEncodingUTF8 || numBytes < 0 || (bytes == nullptr && numBytes > 0))
        return nullptr;
    auto count = static_cast<std::size_t>(numBytes);
    if (isExternalRepresentation && count >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        bytes += 3;  // byte order mark
        count -= 3;
    }
    return makeString(bytes, count, false);
}

CFIndex CFStringGetLength(CFStringRef str) {
    return asString(str, "CFStringGetLength").utf16Length;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    // One UTF-16 unit takes at most three UTF-8 bytes; a surrogate pair takes four.
    if (encoding != kCFStringEncodingUTF8 || length < 0 || length > std::numeric_limits<CFIndex>::max() / 3)
        return kCFNotFound;
    return length * 3;
}

Boolean CFStringGetCString(CFStringRef str, char* buffer, CFIndex bufferSize, CFStringEncoding encoding) {
    const auto& s = asString(str, "CFStringGetCString");
    if (encoding != kCFStringEncodingUTF8 || buffer == nullptr || bufferSize <= s.byteCount)
        return false;
    std::memcpy(buffer, s.bytes, static_cast<std::size_t>(s.byteCount) + 1);
    return true;
}

const char* CFStringGetCStringPtr(CFStringRef str, CFStringEncoding encoding) {
    const auto& s = asString(str, "CFStringGetCStringPtr");
    return encoding == kCFStringEncodingUTF8 ? s.bytes : nullptr;
}

CFStringRef __CFStringMakeConstantString(const char* cStr) {
    if (cStr == nullptr)
        CFRuntime::fatal("CFSTR", "NULL argument");
    const std::string_view text{cStr};
    auto& table = constantStrings();
    const std::lock_guard lock{table.mutex};
    if (const auto it = table.byText.find(text); it != table.byText.end())
        return it->second;
    const __CFString* str = makeString(reinterpret_cast<const unsigned char*>(cStr), text.size(), true);
    if (str == nullptr)
        CFRuntime::fatal("CFSTR", "not UTF-8 or out of memory:", cStr);
    table.byText.emplace(std::string_view{str->bytes, text.size()}, str);
    return str;
}

}  // extern "C"
