#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/corefoundation/CoreFoundation.h"

namespace {

CFStringRef makeString(const std::string& bytes, CFStringEncoding encoding = kCFStringEncodingUTF8) {
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                   static_cast<CFIndex>(bytes.size()), encoding, false);
}

std::string text(CFStringRef str) {
    return CFStringGetCStringPtr(str, kCFStringEncodingUTF8);
}

// Array callbacks that record what the array retains and releases.
std::vector<const void*> retained, released;
const void* recordRetain(CFAllocatorRef, const void* value) {
    retained.push_back(value);
    return value;
}
void recordRelease(CFAllocatorRef, const void* value) {
    released.push_back(value);
}

TEST(CFObject, RetainAndReleaseCountAndTheLastReleaseDestroys) {
    CFStringRef str = makeString("device");
    EXPECT_EQ(CFRetain(CFRetain(str)), str);
    EXPECT_EQ(CFGetRetainCount(str), 3);
    CFRelease(str);
    CFRelease(str);
    EXPECT_EQ(CFGetRetainCount(str), 1);
    CFRelease(str);

    int a = 1, b = 2;
    const void* values[] = {&a, &b};
    const CFArrayCallBacks recording{0, recordRetain, recordRelease, nullptr, nullptr};
    CFArrayRef array = CFArrayCreate(nullptr, values, 2, &recording);
    EXPECT_EQ(retained, (std::vector<const void*>{&a, &b}));
    CFRelease(CFRetain(array));
    EXPECT_TRUE(released.empty());
    CFRelease(array);
    EXPECT_EQ(released, (std::vector<const void*>{&a, &b}));
}

TEST(CFObject, MisuseAborts) {
    EXPECT_DEATH(CFRetain(nullptr), "CFRetain: NULL");
    EXPECT_DEATH(CFRelease(nullptr), "CFRelease: NULL");
    CFTypeRef uuid = CFUUIDGetConstantUUIDWithBytes(nullptr, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
    EXPECT_DEATH(CFStringGetLength(static_cast<CFStringRef>(uuid)), "CFStringGetLength: argument is not a CFString");
    CFArrayRef empty = CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks);
    EXPECT_DEATH(CFArrayGetValueAtIndex(empty, 0), "out of range");
    CFRelease(empty);
}

TEST(CFString, AcceptsOnlyWellFormedUtf8) {
    for (const std::string bad : {"\xC3\x28", "\xC0\xAF", "\xE2\x82", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80"})
        EXPECT_EQ(makeString(bad), nullptr) << bad;
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xC3\x28", kCFStringEncodingUTF8), nullptr);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "ok", 0x0201 /* Latin-1 */), nullptr);
    EXPECT_EQ(makeString("ok", 0x0201), nullptr);

    CFStringRef str = CFStringCreateWithCString(nullptr, "Ausgabeger\xC3\xA4t", kCFStringEncodingUTF8);
    ASSERT_NE(str, nullptr);
    EXPECT_EQ(text(str), "Ausgabeger\xC3\xA4t");
    CFRelease(str);
}

TEST(CFString, LengthCountsUtf16UnitsAndCopiesOnlyWhatFits) {
    const std::string bytes = "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80";  // ä € 😀: 2 + 3 + 4 bytes
    CFStringRef str = makeString(bytes);
    EXPECT_EQ(CFStringGetLength(str), 4);
    EXPECT_GE(CFStringGetMaximumSizeForEncoding(CFStringGetLength(str), kCFStringEncodingUTF8), 9);

    char buffer[10] = "untouched";
    EXPECT_FALSE(CFStringGetCString(str, buffer, 9, kCFStringEncodingUTF8));
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_TRUE(CFStringGetCString(str, buffer, 10, kCFStringEncodingUTF8));
    EXPECT_EQ(buffer, bytes);
    CFRelease(str);
}

TEST(CFString, ConstantsAreInternedAndEqualToCreatedStrings) {
    CFStringRef constant = CFSTR("Velunto Microphone");
    EXPECT_EQ(CFSTR("Velunto Microphone"), constant);
    EXPECT_NE(CFSTR("Velunto Camera"), constant);
    CFRelease(constant);
    CFRelease(constant);
    EXPECT_EQ(text(CFSTR("Velunto Microphone")), "Velunto Microphone");

    CFStringRef created = makeString("Velunto Microphone");
    CFStringRef other = makeString("Velunto Microphone 2");
    EXPECT_TRUE(CFEqual(constant, created));
    EXPECT_FALSE(CFEqual(created, other));
    EXPECT_EQ(CFGetTypeID(created), CFStringGetTypeID());
    CFRelease(created);
    CFRelease(other);
}

TEST(CFArray, RetainsCFElementsAndComparesThemByContents) {
    CFStringRef a = makeString("a");
    CFStringRef b = makeString("b");
    const void* values[] = {a, b};
    CFArrayRef array = CFArrayCreate(nullptr, values, 2, &kCFTypeArrayCallBacks);
    CFArrayRef unretained = CFArrayCreate(nullptr, values, 2, nullptr);
    EXPECT_EQ(CFGetRetainCount(a), 2);
    ASSERT_EQ(CFArrayGetCount(array), 2);
    EXPECT_EQ(CFArrayGetValueAtIndex(unretained, 1), b);

    const void* same[] = {CFSTR("a"), CFSTR("b")};
    const void* swapped[] = {CFSTR("b"), CFSTR("a")};
    CFArrayRef sameArray = CFArrayCreate(nullptr, same, 2, &kCFTypeArrayCallBacks);
    CFArrayRef swappedArray = CFArrayCreate(nullptr, swapped, 2, &kCFTypeArrayCallBacks);
    EXPECT_TRUE(CFEqual(array, sameArray));
    EXPECT_FALSE(CFEqual(array, swappedArray));
    EXPECT_FALSE(CFEqual(unretained, sameArray));  // raw pointers compare by identity
    for (CFArrayRef x : {sameArray, swappedArray, unretained, array})
        CFRelease(x);
    EXPECT_EQ(CFGetRetainCount(a), 1);
    EXPECT_EQ(CFGetRetainCount(b), 1);
    CFRelease(a);
    CFRelease(b);
}

TEST(CFUUID, StringRoundTripConstantsAndMalformedText) {
    CFUUIDRef constant = CFUUIDGetConstantUUIDWithBytes(nullptr, 0x44, 0x3A, 0xBA, 0xB8, 0xE7, 0xB3, 0x49, 0x1A, 0xB9,
                                                        0x85, 0xBE, 0xB9, 0x18, 0x70, 0x30, 0xDB);
    CFUUIDRef parsed = CFUUIDCreateFromString(nullptr, CFSTR("443abab8-E7B3-491a-b985-BEB9187030db"));
    ASSERT_NE(parsed, nullptr);
    const CFUUIDBytes bytes = CFUUIDGetUUIDBytes(parsed);
    EXPECT_EQ(bytes.byte0, 0x44);
    EXPECT_EQ(bytes.byte7, 0x1A);
    EXPECT_EQ(bytes.byte15, 0xDB);
    EXPECT_TRUE(CFEqual(parsed, constant));
    CFStringRef str = CFUUIDCreateString(nullptr, constant);
    EXPECT_EQ(text(str), "443ABAB8-E7B3-491A-B985-BEB9187030DB");
    CFRelease(parsed);
    CFRelease(str);

    for (const char* bad : {"", "443ABAB8E7B3491AB985BEB9187030DB", "443ABAB8-E7B3-491A-B985-BEB9187030D",
                            "443ABAB8-E7B3-491A-B985-BEB9187030DB0", "443ABAB-8E7B3-491A-B985-BEB9187030DB",
                            "443ABAB8-E7B3-491A-B985-BEB9187030DG"}) {
        CFStringRef badString = makeString(bad);
        EXPECT_EQ(CFUUIDCreateFromString(nullptr, badString), nullptr) << bad;
        CFRelease(badString);
    }
}

}  // namespace
