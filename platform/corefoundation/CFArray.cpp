#include <new>

#include "platform/corefoundation/CFRuntime.h"

struct __CFArray {
    velunto::CFRuntimeBase base;
    const void** values;  // owned
    CFIndex count;
    CFAllocatorRef allocator;
    CFArrayCallBacks callBacks;  // all NULL for an array of raw pointers
};

namespace {

using velunto::CFRuntime;

// kCFTypeArrayCallBacks.equal. The slot is opaque here: any non-NULL value means the elements are
// CF objects compared with CFEqual.
const char kCompareWithCFEqual = 0;

void destroyArray(CFTypeRef cf) {
    const auto* array = static_cast<const __CFArray*>(cf);
    if (array->callBacks.release != nullptr) {
        for (CFIndex i = 0; i < array->count; ++i)
            array->callBacks.release(array->allocator, array->values[i]);
    }
    delete[] array->values;
    delete array;
}

bool arraysEqual(CFTypeRef a, CFTypeRef b) {
    const auto* x = static_cast<const __CFArray*>(a);
    const auto* y = static_cast<const __CFArray*>(b);
    if (x->count != y->count)
        return false;
    const bool byContents = x->callBacks.equal != nullptr && y->callBacks.equal != nullptr;
    for (CFIndex i = 0; i < x->count; ++i) {
        const void* u = x->values[i];
        const void* v = y->values[i];
        if (u != v && !(byContents && CFEqual(u, v)))
            return false;
    }
    return true;
}

constexpr velunto::CFRuntimeClass kArrayClass{velunto::kCFArrayTypeIDValue, "CFArray", destroyArray, arraysEqual};

const __CFArray& asArray(CFArrayRef array, const char* function) {
    return CFRuntime::cast<__CFArray>(array, kArrayClass, function);
}

}  // namespace

extern "C" {

static const void* retainCFType(CFAllocatorRef, const void* value) {
    return CFRetain(value);
}

static void releaseCFType(CFAllocatorRef, const void* value) {
    CFRelease(value);
}

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, retainCFType, releaseCFType, nullptr, &kCompareWithCFEqual};

CFTypeID CFArrayGetTypeID(void) {
    return velunto::kCFArrayTypeIDValue;
}

CFArrayRef CFArrayCreate(CFAllocatorRef alloc, const void** values, CFIndex numValues,
                         const CFArrayCallBacks* callBacks) {
    if (numValues < 0 || (values == nullptr && numValues > 0))
        return nullptr;
    const void** copy = new (std::nothrow) const void*[static_cast<std::size_t>(numValues)];
    if (copy == nullptr)
        return nullptr;
    const CFArrayCallBacks noCallBacks{};
    const CFArrayCallBacks& cb = callBacks != nullptr ? *callBacks : noCallBacks;
    auto* array = new (std::nothrow) __CFArray{CFRuntime::makeBase(kArrayClass, false), copy, numValues, alloc, cb};
    if (array == nullptr) {
        delete[] copy;
        return nullptr;
    }
    for (CFIndex i = 0; i < numValues; ++i)
        copy[i] = cb.retain != nullptr ? cb.retain(alloc, values[i]) : values[i];
    return array;
}

CFIndex CFArrayGetCount(CFArrayRef array) {
    return asArray(array, "CFArrayGetCount").count;
}

const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index) {
    const auto& a = asArray(array, "CFArrayGetValueAtIndex");
    if (index < 0 || index >= a.count)
        CFRuntime::fatal("CFArrayGetValueAtIndex", "index out of range");
    return a.values[index];
}

}  // extern "C"
