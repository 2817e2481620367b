#include "platform/foundation/UserDefaults.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace velunto {
namespace {

using Array = PropertyListValue::Array;
using Dictionary = PropertyListValue::Dictionary;
constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64Min = std::numeric_limits<std::int64_t>::min();

TEST(UserDefaultsAccessors, ConvertLikeTheirPlatformCounterparts) {
    struct Row {
        const char* name;
        std::optional<PropertyListValue> stored;  // nullopt: key missing
        std::optional<std::string> string;
        bool boolean;
        std::int64_t integer;
        double real;
    };
    const Row rows[] = {
        {"missing", std::nullopt, std::nullopt, false, 0, 0.0},
        {"bool true", true, "1", true, 1, 1.0},
        {"bool false", false, "0", false, 0, 0.0},
        {"int 42", 42, "42", true, 42, 42.0},
        {"int 0", 0, "0", false, 0, 0.0},
        {"int max", int64Max, "9223372036854775807", true, int64Max, 9223372036854775807.0},
        {"real 0.5", 0.5, "0.5", true, 0, 0.5},
        {"real -3.7", -3.7, "-3.7", true, -3, -3.7},
        {"real 0.1", 0.1, "0.1", true, 0, 0.1},
        {"real 100", 100.0, "100", true, 100, 100.0},
        {"real 1e30", 1e30, "1e+30", true, int64Max, 1e30},
        {"real -1e30", -1e30, "-1e+30", true, int64Min, -1e30},
        {"real 0", 0.0, "0", false, 0, 0.0},
        {"string YES", "YES", "YES", true, 0, 0.0},
        {"string TRUE padded", "  TRUE ", "  TRUE ", true, 0, 0.0},
        {"string no", "no", "no", false, 0, 0.0},
        {"string 12abc", "12abc", "12abc", true, 12, 12.0},
        {"string 3.7", "3.7", "3.7", true, 3, 3.7},
        {"string -42 padded", "  -42 ", "  -42 ", true, -42, -42.0},
        {"string +5", "+5", "+5", true, 5, 5.0},
        {"string 0.5", "0.5", "0.5", false, 0, 0.5},
        {"string 1e3", "1e3", "1e3", true, 1, 1000.0},
        {"string huge", "99999999999999999999", "99999999999999999999", true, int64Max, 1e20},
        {"string huge negative", "-99999999999999999999", "-99999999999999999999", true, int64Min, -1e20},
        {"string int64 min", "-9223372036854775808", "-9223372036854775808", true, int64Min, -9223372036854775808.0},
        {"string empty", "", "", false, 0, 0.0},
        {"string yesterday", "yesterday", "yesterday", false, 0, 0.0},
        {"data", Data{1, 2, 3}, std::nullopt, false, 0, 0.0},
        {"date", Date{1000}, std::nullopt, false, 0, 0.0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto defaults = UserDefaults::inMemory();
        if (row.stored)
            defaults->set("key", *row.stored);
        EXPECT_EQ(defaults->string("key"), row.string);
        EXPECT_EQ(defaults->boolean("key"), row.boolean);
        EXPECT_EQ(defaults->integer("key"), row.integer);
        EXPECT_DOUBLE_EQ(defaults->doubleValue("key"), row.real);
    }
}

TEST(UserDefaultsAccessors, TypedAccessorsOnlyReturnTheirOwnType) {
    const auto defaults = UserDefaults::inMemory();
    defaults->set("data", Data{7, 8});
    defaults->set("text", "Daten");
    defaults->set("list", Array{"a", 2});
    defaults->set("map", Dictionary{{"x", true}});
    defaults->set("nan", std::nan(""));

    EXPECT_EQ(defaults->data("data"), Data({7, 8}));
    EXPECT_FALSE(defaults->data("text").has_value());
    EXPECT_FALSE(defaults->data("missing").has_value());
    EXPECT_EQ(defaults->array("list"), Array({"a", 2}));
    EXPECT_FALSE(defaults->array("map").has_value());
    EXPECT_EQ(defaults->dictionary("map"), Dictionary({{"x", true}}));
    EXPECT_FALSE(defaults->dictionary("list").has_value());
    EXPECT_FALSE(defaults->string("list").has_value());
    EXPECT_EQ(defaults->integer("nan"), 0);
    EXPECT_TRUE(std::isnan(defaults->doubleValue("nan")));
}

TEST(UserDefaultsAccessors, InMemoryDatabasesAreIndependentAndNeverStored) {
    const auto defaults = UserDefaults::inMemory();
    defaults->set("app.velunto.bypass", true);
    defaults->set("app.velunto.videoOffsetMilliseconds", 120);
    defaults->removeObject("app.velunto.bypass");
    defaults->removeObject("never.set");
    EXPECT_FALSE(defaults->object("app.velunto.bypass").has_value());
    EXPECT_EQ(defaults->integer("app.velunto.videoOffsetMilliseconds"), 120);
    EXPECT_FALSE(UserDefaults::inMemory()->object("app.velunto.videoOffsetMilliseconds").has_value());
    EXPECT_TRUE(defaults->filePath().empty());
}

}  // namespace
}  // namespace velunto
