#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/devices/LocalizedText.h"

using namespace velunto;

TEST(LocalizedText, StandardCompareOrdersNamesAsAFileBrowserDoes) {
    struct Case {
        const char* a;
        const char* b;
        int expected;  // sign of a compared with b
    };
    const Case table[] = {
        {"Mic 2", "Mic 10", -1},  // digit runs by value
        {"Mic 10", "Mic 9", 1},
        {"Mic 007", "Mic 8", -1},           // leading zeros do not count
        {"mic", "Mic", 1},                  // equal but for case: lower case first only as the last resort
        {"MIC A", "mic b", -1},             // case does not decide before the letters do
        {"Äußeres Mikro", "Built-in", -1},  // ä sorts with a
        {"Straße", "Strasse", 1},           // ß as ss, then the accent decides
        {"Zoom", "Ärmel", 1},
        {"USB 2.0", "USB 10.0", -1},
        {"A", "A 1", -1},  // a prefix sorts first
        {"", "A", -1},
        {"Kanal 1", "Kanal 1", 0},
    };
    for (const auto& c : table) {
        const auto order = LocalizedText::standardCompare(c.a, c.b);
        const int sign = order < 0 ? -1 : order > 0 ? 1 : 0;
        EXPECT_EQ(sign, c.expected) << c.a << " vs " << c.b;
        const auto reverse = LocalizedText::standardCompare(c.b, c.a);
        EXPECT_EQ(reverse < 0 ? -1 : reverse > 0 ? 1 : 0, -c.expected) << c.b << " vs " << c.a;
    }
}

TEST(LocalizedText, ContainsIgnoresCaseIncludingUmlauts) {
    EXPECT_TRUE(LocalizedText::containsIgnoringCase("Äußeres Mikrofon", "ÄUßERES MIKRO"));
    EXPECT_FALSE(LocalizedText::containsIgnoringCase("Äußeres Mikrofon", "äUSSERES"));  // ß is not folded to ss
    EXPECT_TRUE(LocalizedText::containsIgnoringCase("BlackHole 2ch", "blackhole 2CH"));
    EXPECT_FALSE(LocalizedText::containsIgnoringCase("Mic", "Mikrofon"));
    EXPECT_TRUE(LocalizedText::containsIgnoringCase("anything", ""));
}
