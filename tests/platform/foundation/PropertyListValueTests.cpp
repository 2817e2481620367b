#include "platform/foundation/Date.h"
#include "platform/foundation/PropertyListValue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>

namespace velunto {
namespace {

using Type = PropertyListValue::Type;
using Array = PropertyListValue::Array;
using Dictionary = PropertyListValue::Dictionary;

TEST(PropertyListValue, ConstructorsChooseTheType) {
    // A string literal must not decay to bool, nor an unsigned or float argument go astray.
    const PropertyListValue values[] = {
        PropertyListValue(),      true,    7,       7u,       std::int64_t(-7), 0.5, 0.5f, "text", std::string("text"),
        std::string_view("text"), Data(2), Date{1}, Array(1), Dictionary()};
    const Type types[] = {Type::boolean, Type::boolean, Type::integer, Type::integer,   Type::integer,
                          Type::real,    Type::real,    Type::string,  Type::string,    Type::string,
                          Type::data,    Type::date,    Type::array,   Type::dictionary};
    static_assert(std::size(values) == std::size(types));
    for (std::size_t i = 0; i < std::size(values); ++i)
        EXPECT_EQ(values[i].type(), types[i]) << i;
    // Unsigned values above the signed range wrap.
    EXPECT_EQ(PropertyListValue(std::numeric_limits<std::uint64_t>::max()).integer(), -1);
    EXPECT_EQ(PropertyListValue(std::uint32_t{4000000000u}).integer(), 4000000000);
}

TEST(PropertyListValue, AccessorsAnswerOnlyForTheirOwnType) {
    const PropertyListValue integer(42);
    EXPECT_EQ(integer.integer(), 42);
    EXPECT_FALSE(integer.real() || integer.boolean() || integer.date() || integer.string() || integer.array());

    const PropertyListValue text("Größe");
    EXPECT_EQ(text.get<std::string>(), "Größe");
    EXPECT_EQ(text.string(), &text.get<std::string>());
    EXPECT_FALSE(text.integer() || text.data() || text.dictionary());
    EXPECT_THROW((void)text.get<std::int64_t>(), std::bad_variant_access);

    EXPECT_EQ(PropertyListValue(Date{12.5}).date(), Date{12.5});
    EXPECT_FALSE(PropertyListValue(Date{12.5}).real());
}

TEST(PropertyListValue, EqualityIsDeepAndTypeStrict) {
    const Dictionary nested{{"bands", Array{1, 2.5, "x"}}, {"on", true}};
    const PropertyListValue a(Dictionary{{"eq", nested}});
    PropertyListValue b(Dictionary{{"eq", nested}});
    EXPECT_EQ(a, b);
    b.get<Dictionary>()["eq"].get<Dictionary>()["bands"].get<Array>()[1] = 2.25;  // edits in place
    EXPECT_NE(a, b);
    EXPECT_NE(PropertyListValue(1), PropertyListValue(1.0));
    EXPECT_NE(PropertyListValue(true), PropertyListValue(1));
    EXPECT_NE(PropertyListValue(Data{}), PropertyListValue(std::string()));
}

TEST(Date, ConvertsBetweenReferenceDateAndUnixTime) {
    EXPECT_EQ(Date::fromUnixTime(978307200.0), Date{0});
    EXPECT_DOUBLE_EQ(Date{1.5}.timeIntervalSince1970(), 978307201.5);
    // Any moment this code runs is after 2020-01-01 and before 2100-01-01.
    EXPECT_GT(Date::now().timeIntervalSince1970(), 1577836800.0);
    EXPECT_LT(Date::now().timeIntervalSince1970(), 4102444800.0);
}

}  // namespace
}  // namespace velunto
