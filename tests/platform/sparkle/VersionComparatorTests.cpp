#include "platform/sparkle/SUStandardVersionComparator.h"

#include <gtest/gtest.h>

#include <string>

namespace velunto {
namespace {

struct VersionPair {
    std::string older;
    std::string newer;
};

TEST(SUStandardVersionComparatorTest, OrdersPairs) {
    const VersionPair pairs[] = {
        {"1.9", "1.10"},     {"1.0", "1.0.1"},    {"1.0", "2"},
        {"1.0b2", "1.0"},    {"1.0b2", "1.0b10"}, {"2.0a1", "2.0b1"},
        {"2.0b1", "2.0rc1"}, {"1.0-beta", "1.0"}, {"1.0.0b1", "1.0"},
        {"1.0a", "1.0.1"},   {"1.0.", "1.0.1"},   {"1.5", "1.5.0.1"},
        {"", "1"},           {"0.9", "1 2"},      {"99999999999999999998", "99999999999999999999"},
        {"1.0", "1.0.0.1"},  {"1.a", "1.0"},
    };
    for (const auto& [older, newer] : pairs) {
        SCOPED_TRACE(older + " < " + newer);
        EXPECT_TRUE(SUStandardVersionComparator::compareVersions(older, newer) < 0);
        EXPECT_TRUE(SUStandardVersionComparator::compareVersions(newer, older) > 0);
    }
}

TEST(SUStandardVersionComparatorTest, TreatsEquivalentSpellingsAsEqual) {
    const VersionPair pairs[] = {
        {"1.0", "1.0.0"}, {"1.0", "1.0"}, {"1.01", "1.1"}, {"", ""}, {"2", "2.0.0.0"}, {"1.0b1", "1.0b1"},
    };
    for (const auto& [a, b] : pairs) {
        SCOPED_TRACE(a + " == " + b);
        EXPECT_TRUE(SUStandardVersionComparator::compareVersions(a, b) == 0);
        EXPECT_TRUE(SUStandardVersionComparator::compareVersions(b, a) == 0);
    }
}

// Feeds pick the newest item by pairwise comparison, which needs a consistent order also on odd spellings:
// a missing run is equal both to a period and to 0, so a period must not be older than 0.
TEST(SUStandardVersionComparatorTest, IsAWeakOrderOnOddSpellings) {
    const std::string versions[] = {"",      ".",    "0",   "00",   "1",     "1.",   "1.0", "1..", "1.0.",
                                    "1.0.0", "1..0", "1.a", "1.0a", "1.0.1", "1..1", "a",   "1 2", "2"};
    const auto compare = SUStandardVersionComparator::compareVersions;
    for (const std::string& a : versions)
        for (const std::string& b : versions)
            for (const std::string& c : versions) {
                if (compare(a, b) > 0 || compare(b, c) > 0)
                    continue;
                SCOPED_TRACE("\"" + a + "\" <= \"" + b + "\" <= \"" + c + "\"");
                EXPECT_TRUE(compare(a, c) <= 0);
                if (compare(a, b) < 0 || compare(b, c) < 0) {
                    EXPECT_TRUE(compare(a, c) < 0);
                }
            }
    EXPECT_TRUE(compare("1.0", "1..") == 0);
    EXPECT_TRUE(compare(".", "0") == 0);
    EXPECT_TRUE(compare("1.0.0", "1.0.") == 0);
}

}  // namespace
}  // namespace velunto
