#pragma once

#include <atomic>
#include <type_traits>

#include "platform/corefoundation/CoreFoundation.h"

namespace velunto {

inline constexpr CFTypeID kCFStringTypeIDValue = 7;
inline constexpr CFTypeID kCFArrayTypeIDValue = 19;
inline constexpr CFTypeID kCFUUIDTypeIDValue = 34;

// What an object type supplies to the runtime.
struct CFRuntimeClass {
    CFTypeID typeID;
    const char* name;
    void (*destroy)(CFTypeRef cf);
    bool (*equal)(CFTypeRef a, CFTypeRef b);  // both of this class, not the same object
};

// The first member of every object, so any CFTypeRef can be read as one.
struct CFRuntimeBase {
    mutable std::atomic<CFIndex> retainCount;
    const CFRuntimeClass* cls;
    bool constant;  // interned for the whole process: retain and release do nothing
};
static_assert(std::is_standard_layout_v<CFRuntimeBase>);

class CFRuntime {
public:
    // Writes "<function>: <message>[ <detail>]" to stderr and aborts.
    [[noreturn]] static void fatal(const char* function, const char* message, const char* detail = nullptr);

    static CFRuntimeBase makeBase(const CFRuntimeClass& cls, bool constant) { return {{1}, &cls, constant}; }

    // The object header; aborts on NULL.
    static const CFRuntimeBase& base(CFTypeRef cf, const char* function);

    // The object as T; aborts on NULL or an object of another class.
    template <class T>
    static const T& cast(CFTypeRef cf, const CFRuntimeClass& cls, const char* function) {
        static_assert(std::is_standard_layout_v<T>, "the header must be reachable from the object's address");
        if (base(cf, function).cls != &cls)
            fatal(function, "argument is not a", cls.name);
        return *static_cast<const T*>(cf);
    }
};

}  // namespace velunto
