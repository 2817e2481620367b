#include "platform/foundation/Date.h"
#include "platform/foundation/PropertyListValue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace velunto {
namespace {

using Type = PropertyListValue::Type;

TEST(PropertyListValue, ConstructorsChooseTheType) {
    EXPECT_EQ(PropertyListValue().type(), Type::boolean);
    EXPECT_EQ(PropertyListValue(true).type(), Type::boolean);
    EXPECT_EQ(PropertyListValue(7).type(), Type::integer);
    EXPECT_EQ(PropertyListValue(7u).type(), Type::integer);
    EXPECT_EQ(PropertyListValue(std::uint32_t{7}).type(), Type::integer);
    EXPECT_EQ(PropertyListValue(std::int64_t{-7}).type(), Type::integer);
    EXPECT_EQ(PropertyListValue(0.5).type(), Type::real);
    EXPECT_EQ(PropertyListValue(0.5f).type(), Type::real);
    EXPECT_EQ(PropertyListValue("text").type(), Type::string);
    EXPECT_EQ(PropertyListValue(std::string("text")).type(), Type::string);
    EXPECT_EQ(PropertyListValue(std::string_view("text")).type(), Type::string);
    EXPECT_EQ(PropertyListValue(Data{1, 2}).type(), Type::data);
    EXPECT_EQ(PropertyListValue(Date{1}).type(), Type::date);
    EXPECT_EQ(PropertyListValue(PropertyListValue::Array{1, "a"}).type(), Type::array);
    EXPECT_EQ(PropertyListValue(PropertyListValue::Dictionary{{"k", 1}}).type(), Type::dictionary);
}

TEST(PropertyListValue, AccessorsAnswerOnlyForTheirOwnType) {
    const PropertyListValue integer(42);
    EXPECT_EQ(integer.integer(), 42);
    EXPECT_FALSE(integer.real().has_value());
    EXPECT_FALSE(integer.boolean().has_value());
    EXPECT_EQ(integer.string(), nullptr);
    EXPECT_TRUE(integer.isInteger());
    EXPECT_FALSE(integer.isReal());

    const PropertyListValue text("Größe");
    ASSERT_NE(text.string(), nullptr);
    EXPECT_EQ(*text.string(), "Größe");
    EXPECT_EQ(text.data(), nullptr);
    EXPECT_TRUE(text.is<std::string>());
    EXPECT_EQ(text.get<std::string>(), "Größe");
    EXPECT_THROW((void)text.get<std::int64_t>(), std::bad_variant_access);

    const PropertyListValue date(Date{12.5});
    EXPECT_EQ(date.date(), Date{12.5});
    EXPECT_FALSE(date.real().has_value());
    EXPECT_EQ(date.array(), nullptr);
    EXPECT_EQ(date.dictionary(), nullptr);
}

TEST(PropertyListValue, UnsignedValuesAboveTheSignedRangeWrap) {
    EXPECT_EQ(PropertyListValue(std::numeric_limits<std::uint64_t>::max()).integer(), -1);
    EXPECT_EQ(PropertyListValue(std::uint32_t{4000000000u}).integer(), 4000000000);
}

TEST(PropertyListValue, EqualityIsDeepAndTypeStrict) {
    const PropertyListValue::Dictionary nested{{"bands", PropertyListValue::Array{1, 2.5, "x"}}, {"on", true}};
    PropertyListValue a(PropertyListValue::Dictionary{{"eq", nested}});
    PropertyListValue b(PropertyListValue::Dictionary{{"eq", nested}});
    EXPECT_EQ(a, b);
    b.get<PropertyListValue::Dictionary>()["eq"]
        .get<PropertyListValue::Dictionary>()["bands"]
        .get<PropertyListValue::Array>()[1] = 2.25;
    EXPECT_NE(a, b);
    EXPECT_NE(PropertyListValue(1), PropertyListValue(1.0));
    EXPECT_NE(PropertyListValue(true), PropertyListValue(1));
    EXPECT_NE(PropertyListValue(Data{}), PropertyListValue(std::string()));
    EXPECT_EQ(PropertyListValue(Data{0, 255}), PropertyListValue(Data{0, 255}));
}

TEST(PropertyListValue, MutableAccessorsEditInPlace) {
    PropertyListValue value(PropertyListValue::Array{});
    value.get<PropertyListValue::Array>().push_back("eins");
    if (PropertyListValue::Array* array = value.array())
        array->emplace_back(2);
    EXPECT_EQ(value, PropertyListValue(PropertyListValue::Array{"eins", 2}));
    EXPECT_EQ(value.dictionary(), nullptr);
}

TEST(Date, ConvertsBetweenReferenceDateAndUnixTime) {
    EXPECT_EQ(Date::fromUnixTime(978307200.0), Date{0});
    EXPECT_DOUBLE_EQ(Date{1.5}.timeIntervalSince1970(), 978307201.5);
    EXPECT_DOUBLE_EQ(Date::fromUnixTime(0).timeIntervalSinceReferenceDate, -978307200.0);
    EXPECT_LT(Date{1}, Date{2});
    const Date now = Date::now();
    // Any moment this code runs is after 2020-01-01 and before 2100-01-01.
    EXPECT_GT(now.timeIntervalSince1970(), 1577836800.0);
    EXPECT_LT(now.timeIntervalSince1970(), 4102444800.0);
}

}  // namespace
}  // namespace velunto
