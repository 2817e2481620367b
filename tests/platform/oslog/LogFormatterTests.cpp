#include "platform/oslog/LogFormatter.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace velunto {
namespace {

enum class Status : int { busy = 3 };

// Length modifiers and mixed argument types; int and double conversions are checked against printf
// at the end.
TEST(LogFormatter, ConversionTable) {
    EXPECT_EQ(formatLogMessage("%ld|%lld", 123456789012L, LLONG_MIN), "123456789012|-9223372036854775808");
    EXPECT_EQ(formatLogMessage("%lu|%llu", ULONG_MAX, 5ULL), "18446744073709551615|5");
    EXPECT_EQ(formatLogMessage("%hhd %hd %zu", static_cast<signed char>(-3), static_cast<short>(300), std::size_t{12}),
              "-3 300 12");
    EXPECT_EQ(formatLogMessage("%f|%.1f", 3, 48000u), "3.000000|48000.0");
    EXPECT_EQ(formatLogMessage("%s|%c|100%%", "text", 'A'), "text|A|100%");
}

TEST(LogFormatter, SignedValuesUnderUnsignedConversionsKeepTheirWidth) {
    EXPECT_EQ(formatLogMessage("%u", -1), "4294967295");
    EXPECT_EQ(formatLogMessage("%x", static_cast<std::int8_t>(-1)), "ff");
    EXPECT_EQ(formatLogMessage("%x", std::int64_t{-1}), "ffffffffffffffff");
    EXPECT_EQ(formatLogMessage("%d", UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(formatLogMessage("%d", std::uint32_t{4000000000u}), "4000000000");
}

TEST(LogFormatter, WidthAndPrecisionComeFromArgumentsAndAreNotLimited) {
    EXPECT_EQ(formatLogMessage("%*d|", 5, 42), "   42|");
    EXPECT_EQ(formatLogMessage("%-*d|", 4, 7), "7   |");
    EXPECT_EQ(formatLogMessage("%*d|", -4, 7), "7   |");
    EXPECT_EQ(formatLogMessage("%.*f", 2, 3.14159), "3.14");
    EXPECT_EQ(formatLogMessage("%.*s", 3, "abcdef"), "abc");
    // No fixed-size buffer limits the result.
    const std::string text(5000, 'x');
    EXPECT_EQ(formatLogMessage("<%s>", text), "<" + text + ">");
    EXPECT_EQ(formatLogMessage("%300d", 1).size(), 300u);
    EXPECT_EQ(formatLogMessage("%.200f", 1.0).size(), 202u);
}

TEST(LogFormatter, StringConversionsAcceptEveryStringType) {
    EXPECT_EQ(formatLogMessage("%s|%s|%s ä ⌃⌥", std::string("Eingang"), std::string_view("USB Audio"), "Größe"),
              "Eingang|USB Audio|Größe ä ⌃⌥");
    EXPECT_EQ(formatLogMessage("%s|%5s|%-5s|%.2s", static_cast<const char*>(nullptr), "ab", "cd", "efgh"),
              "(null)|   ab|cd   |ef");
    EXPECT_EQ(formatLogMessage("%s", std::string_view("abcdef").substr(1, 3)), "bcd");  // not NUL-terminated
}

TEST(LogFormatter, PrivacyMarkersAreStripped) {
    EXPECT_EQ(formatLogMessage("%{public}s failed: OSStatus %d", std::string("AudioUnitInitialize"), -10875),
              "AudioUnitInitialize failed: OSStatus -10875");
    EXPECT_EQ(formatLogMessage("%{private}s", "secret"), "secret");
    EXPECT_EQ(formatLogMessage("%{public}5.1f|", 9.96), " 10.0|");
    EXPECT_EQ(formatLogMessage("%{public}-4s|", "ab"), "ab  |");
    EXPECT_EQ(formatLogMessage("%{public, uint64}llu", 5ULL), "5");
}

TEST(LogFormatter, ArgumentsAreRenderedByTheirOwnType) {
    EXPECT_EQ(formatLogMessage("%d", "abc"), "abc");
    EXPECT_EQ(formatLogMessage("%5d|", "ab"), "   ab|");
    EXPECT_EQ(formatLogMessage("%s", 42), "42");
    EXPECT_EQ(formatLogMessage("%@", 0.5), "0.5");
    EXPECT_EQ(formatLogMessage("%@ %s", true, false), "true false");
    EXPECT_EQ(formatLogMessage("%d", true), "1");
    EXPECT_EQ(formatLogMessage("%d", 2.5), "2.5");
    EXPECT_EQ(formatLogMessage("%d", Status::busy), "3");
}

TEST(LogFormatter, MissingSurplusAndMalformed) {
    EXPECT_EQ(formatLogMessage("%d and %s", 1), "1 and <missing>");
    EXPECT_EQ(formatLogMessage("%d", 1, 2, "three"), "1");
    // Malformed conversions are printed literally.
    EXPECT_EQ(formatLogMessage("100%%"), "100%");
    EXPECT_EQ(formatLogMessage("trailing %"), "trailing %");
    EXPECT_EQ(formatLogMessage("%y %d", 5), "%y 5");
    EXPECT_EQ(formatLogMessage("%n%d", 5), "%n5");
    EXPECT_EQ(formatLogMessage("%{public", 5), "%{public");
    EXPECT_EQ(formatLogMessage("%5", 5), "%5");
}

// Correctly typed calls must give exactly what printf gives.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
template <class T>
std::string printfReference(const char* format, T value) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}
#pragma GCC diagnostic pop

TEST(LogFormatter, AgreesWithPrintfAcrossFlagCombinations) {
    const char* integerFormats[] = {"%d",   "%i",    "%5d", "%-5d", "%05d", "%+d", "%-+6d", "% d",
                                    "%.3d", "%8.3d", "%x",  "%X",   "%#o",  "%#X", "%08x",  "%u"};
    for (const char* format : integerFormats) {
        for (const int value : {0, 1, -1, 65, 255, -32768, INT_MAX, INT_MIN})
            EXPECT_EQ(formatLogMessage(format, value), printfReference(format, value)) << format << " " << value;
    }
    const char* doubleFormats[] = {"%f",   "%.0f", "%.1f", "%.3f",  "%10.4f", "%-10.2f", "%+.2f",  "%e",
                                   "%.2E", "%g",   "%G",   "%.10g", "%#g",    "%a",      "%012.3f"};
    for (const char* format : doubleFormats) {
        for (const double value : {0.0, -0.0, 1.0, -2.5, 0.1, 1234567.891, 1e-9, 6.02e23, -1e300})
            EXPECT_EQ(formatLogMessage(format, value), printfReference(format, value)) << format << " " << value;
    }
}

}  // namespace
}  // namespace velunto
