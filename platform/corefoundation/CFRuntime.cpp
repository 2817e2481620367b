#include "platform/corefoundation/CFRuntime.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

namespace velunto {

void CFRuntime::fatal(const char* function, const char* message, const char* detail) {
    std::fputs(function, stderr);
    std::fputs(": ", stderr);
    std::fputs(message, stderr);
    if (detail != nullptr) {
        std::fputs(" ", stderr);
        std::fputs(detail, stderr);
    }
    std::fputs("\n", stderr);
    std::abort();
}

const CFRuntimeBase& CFRuntime::base(CFTypeRef cf, const char* function) {
    if (cf == nullptr)
        fatal(function, "NULL argument");
    return *static_cast<const CFRuntimeBase*>(cf);
}

}  // namespace velunto

using velunto::CFRuntime;

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;

CFTypeRef CFRetain(CFTypeRef cf) {
    const auto& base = CFRuntime::base(cf, "CFRetain");
    if (!base.constant)
        base.retainCount.fetch_add(1, std::memory_order_relaxed);
    return cf;
}

void CFRelease(CFTypeRef cf) {
    const auto& base = CFRuntime::base(cf, "CFRelease");
    if (base.constant)
        return;
    const CFIndex before = base.retainCount.fetch_sub(1, std::memory_order_acq_rel);
    if (before == 1)
        base.cls->destroy(cf);
    else if (before < 1)
        CFRuntime::fatal("CFRelease", "object released more often than retained");
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
    const auto& base = CFRuntime::base(cf, "CFGetRetainCount");
    return base.constant ? std::numeric_limits<CFIndex>::max() : base.retainCount.load(std::memory_order_relaxed);
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
    return CFRuntime::base(cf, "CFGetTypeID").cls->typeID;
}

Boolean CFEqual(CFTypeRef a, CFTypeRef b) {
    const auto& baseA = CFRuntime::base(a, "CFEqual");
    const auto& baseB = CFRuntime::base(b, "CFEqual");
    if (a == b)
        return true;
    return baseA.cls == baseB.cls && baseA.cls->equal(a, b);
}

}  // extern "C"
