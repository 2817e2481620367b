/* A small reference-counted object model: strings, arrays, UUIDs. Shared between the host and the
 * driver plug-ins it loads, so it lives in one shared library. Objects are thread-safe to retain and
 * release; constant strings (CFSTR) and constant UUIDs live for the whole process. */
#ifndef VELUNTO_COREFOUNDATION_H
#define VELUNTO_COREFOUNDATION_H

#include <stddef.h>

#include "platform/corefoundation/MacTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef const void* CFTypeRef;
typedef unsigned long CFTypeID;
typedef long CFIndex;
typedef UInt32 CFStringEncoding;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFArray* CFArrayRef;
typedef const struct __CFUUID* CFUUIDRef;
typedef const struct __CFDictionary* CFDictionaryRef; /* opaque: no dictionary operations are offered */

typedef struct {
    UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
    UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
} CFUUIDBytes;

typedef struct {
    CFIndex location;
    CFIndex length;
} CFRange;

enum { kCFStringEncodingUTF8 = 0x08000100 };
enum { kCFNotFound = -1 };

/* The default allocator; every allocator argument may also be NULL. */
extern const CFAllocatorRef kCFAllocatorDefault;

CFTypeRef CFRetain(CFTypeRef cf); /* NULL aborts */
void CFRelease(CFTypeRef cf);     /* NULL aborts */
CFIndex CFGetRetainCount(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);
Boolean CFEqual(CFTypeRef a, CFTypeRef b); /* same type and same contents */

CFTypeID CFStringGetTypeID(void);
CFTypeID CFArrayGetTypeID(void);
CFTypeID CFUUIDGetTypeID(void);

/* Strings hold UTF-8; other encodings are refused (NULL / false). */
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding);
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
/* Length in UTF-16 code units. */
CFIndex CFStringGetLength(CFStringRef str);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
/* Copies the string with a terminating NUL; false (buffer untouched) if it does not fit. */
Boolean CFStringGetCString(CFStringRef str, char* buffer, CFIndex bufferSize, CFStringEncoding encoding);
/* The bytes without a copy, or NULL. */
const char* CFStringGetCStringPtr(CFStringRef str, CFStringEncoding encoding);
/* An interned string that is never freed; retain and release do nothing to it. */
CFStringRef __CFStringMakeConstantString(const char* cStr);
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

typedef const void* (*CFArrayRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFArrayReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef struct {
    CFIndex version;
    CFArrayRetainCallBack retain;
    CFArrayReleaseCallBack release;
    const void* copyDescription;
    const void* equal;
} CFArrayCallBacks;
/* Retains and releases CF objects and compares them with CFEqual. */
extern const CFArrayCallBacks kCFTypeArrayCallBacks;

CFArrayRef CFArrayCreate(CFAllocatorRef alloc, const void** values, CFIndex numValues,
                         const CFArrayCallBacks* callBacks);
CFIndex CFArrayGetCount(CFArrayRef array);
/* Out of range aborts. */
const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index);

CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef alloc, CFUUIDBytes bytes);
/* "443ABAB8-E7B3-491A-B985-BEB9187030DB", either letter case; NULL if malformed. */
CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef alloc, CFStringRef uuidString);
/* Interned, never freed. */
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef alloc, UInt8 byte0, UInt8 byte1, UInt8 byte2, UInt8 byte3,
                                         UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7, UInt8 byte8, UInt8 byte9,
                                         UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13, UInt8 byte14,
                                         UInt8 byte15);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);
/* Upper-case, hyphenated. */
CFStringRef CFUUIDCreateString(CFAllocatorRef alloc, CFUUIDRef uuid);

#ifdef __cplusplus
}
#endif

#endif
