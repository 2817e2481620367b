#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/PropertyListXmlValidator.h"

#include "tests/platform/foundation/BinaryPlistBuilder.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>

namespace velunto {
namespace {

using Array = PropertyListValue::Array;
using Dictionary = PropertyListValue::Dictionary;
using Builder = BinaryPlistBuilder;

std::optional<PropertyListValue> decode(const Data& bytes) {
    return PropertyListSerialization::propertyList(bytes);
}
std::optional<PropertyListValue> decodeText(std::string_view text) {
    return decode(Data(text.begin(), text.end()));
}
std::optional<PropertyListValue> roundTrip(const PropertyListValue& value) {
    return decode(PropertyListSerialization::binaryData(value));
}

// Uniform in [0, bound).
std::size_t pick(std::mt19937& random, std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
}

PropertyListValue everyType() {
    Data allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes.push_back(static_cast<std::uint8_t>(i));
    constexpr auto int64Min = std::numeric_limits<std::int64_t>::min();
    constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
    // Fifteen integers need the extended count encoding.
    return Dictionary{
        {"booleans", Array{true, false}},
        {"integers", Array{0, 42, -1, -128, -129, 127, 255, 256, -32769, 65535, 65536, std::int64_t{4294967295},
                           std::int64_t{4294967296}, int64Min, int64Max}},
        {"reals", Array{0.5, 1.25f, -1e300, 5e-324}},
        {"strings", Array{"Built-in Microphone", "Einspeisung ä ö ü ß ⌃⌥", "Mikro 🎙", "", std::string(300, 'x')}},
        {"data", Array{allBytes, Data{}}},
        {"dates", Array{Date{0}, Date{786543210.25}, Date{-31536000.5}}},
        {"empty", Array{Array{}, Dictionary{}}},
        {"Größe ⌥", "non-ASCII key"},
        {"nested",
         Array{Dictionary{{"uid", "BuiltInMicrophoneDevice"}, {"name", "MacBook Pro Mikrofon"}},
               Array{Array{Array{1, 2.5, "drei"}}}, Dictionary{{"inner", Dictionary{{"deep", Data{9, 8, 7}}}}}}}};
}

TEST(PropertyListSerialization, BinaryRoundTripPreservesEveryTypeNestedOrAsRoot) {
    const Data bytes = PropertyListSerialization::binaryData(everyType());
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "bplist00");
    EXPECT_EQ(decode(bytes), everyType());
    for (const PropertyListValue& root :
         {PropertyListValue(true), PropertyListValue(-5), PropertyListValue(2.5), PropertyListValue("ä"),
          PropertyListValue(Data{1}), PropertyListValue(Date{3}), PropertyListValue(Array{})}) {
        EXPECT_EQ(roundTrip(root), root);
    }
}

TEST(PropertyListSerialization, DatesKeepMicrosecondsAndClampToTheStorableRange) {
    for (const double time : {123456789.123456, -123456789.654321, 0.000001, 1e9 + 0.5}) {
        const auto decoded = roundTrip(Date{time});
        ASSERT_TRUE(decoded && decoded->isDate());
        EXPECT_NEAR(decoded->date()->timeIntervalSinceReferenceDate, time, 1.5e-6) << time;
    }
    EXPECT_EQ(roundTrip(Date{1e12}), PropertyListValue(Date{2147483647.0}));

    // libplist converts a date through int32 seconds; far outside that range a file must still
    // decode (to an arbitrary date) without overflow.
    for (const double seconds : {1e300, -1e300, 4e9}) {
        Builder::Bytes date{0x33};
        Builder::appendBigEndian(date, std::bit_cast<std::uint64_t>(seconds), 8);
        Builder builder;
        builder.add(date);
        const auto decoded = decode(builder.build());
        EXPECT_TRUE(decoded && decoded->isDate()) << seconds;
    }
}

TEST(PropertyListSerialization, InvalidUtf8IsReplacedInsteadOfBreakingTheFile) {
    const std::string replacement = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"a\xff!", "a" + replacement + "!"},
        {"\xc3", replacement},
        {"ok\xe2\x8c", "ok" + replacement + replacement},
        {"\xed\xa0\x80", replacement + replacement + replacement},                    // surrogate
        {"\xf4\x90\x80\x80", replacement + replacement + replacement + replacement},  // above U+10FFFF
        {"\xc0\xaf", replacement + replacement},                                      // overlong
        {"ä⌃🎙", "ä⌃🎙"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(roundTrip(Dictionary{{input, input}, {"plain", input}}),
                  PropertyListValue(Dictionary{{expected, expected}, {"plain", expected}}))
            << input;
    }
}

TEST(PropertyListSerialization, DecodesXmlPropertyLists) {
    const auto decoded = decodeText(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><!-- a comment with <array> inside -->
  <key>flag</key><true/><key>count</key><integer>-12</integer><key>ratio</key><real>0.25</real>
  <key>name</key><string>Mikrofon &amp; Größe</string><key>blob</key><data>AAEC/w==</data>
  <key>when</key><date>2001-01-01T00:01:00Z</date><key>list</key><array><string>a</string><dict/></array>
</dict></plist>)");
    EXPECT_EQ(decoded, PropertyListValue(Dictionary{{"flag", true},
                                                    {"count", -12},
                                                    {"ratio", 0.25},
                                                    {"name", "Mikrofon & Größe"},
                                                    {"blob", Data{0, 1, 2, 255}},
                                                    {"when", Date{60}},
                                                    {"list", Array{"a", Dictionary{}}}}));
}

TEST(PropertyListSerialization, RejectsGarbageAndEveryTruncationOfAValidFile) {
    // Short prefixes such as "" and "bplist00" are among the truncations below.
    const std::string inputs[] = {"hello world, this is not a property list",
                                  "bplist00" + std::string(40, '\0'),
                                  "bplist01" + std::string(40, '\xff'),
                                  "<plist><array><string>x</array></string></plist>",
                                  "<plist><array>",
                                  "{\"json\": true}",
                                  std::string(10, '\0')};
    for (const std::string& input : inputs)
        EXPECT_FALSE(decodeText(input)) << input;
    const Data bytes = PropertyListSerialization::binaryData(everyType());
    for (std::size_t length = 0; length < bytes.size(); ++length)
        EXPECT_FALSE(decode(Data(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length)))) << length;
}

// Hostile files. Without the validation in front of libplist, the first two crash the process
// (stack overflow) or exhaust memory.
TEST(PropertyListSerialization, RejectsHostileObjectGraphsButAcceptsModestSharing) {
    EXPECT_FALSE(decode(Builder::chain(300000, 1).build()));
    EXPECT_FALSE(decode(Builder::chain(30, 3).build()));
    const Array leaves(3, PropertyListValue(Array{}));
    EXPECT_EQ(decode(Builder::chain(3, 3).build()), PropertyListValue(Array(3, PropertyListValue(leaves))));

    Builder direct;
    direct.add(Builder::array({0}));
    EXPECT_FALSE(decode(direct.build()));

    Builder indirect;  // array -> dictionary -> the array
    indirect.add(Builder::array({1}));
    indirect.add(Builder::dictionary(2, 0));
    indirect.add(Builder::ascii("k"));
    EXPECT_FALSE(decode(indirect.build()));
}

TEST(PropertyListSerialization, RejectsLyingTrailersReferencesAndForeignTypes) {
    Builder builder;
    builder.add(Builder::dictionary(1, 2));
    builder.add(Builder::ascii("k"));
    builder.add({0x10, 0x01});  // integer 1
    ASSERT_EQ(decode(builder.build()), PropertyListValue(Dictionary{{"k", 1}}));

    using Trailer = Builder::Trailer;
    EXPECT_FALSE(decode(builder.build(0, [](Trailer& t) { t.objectCount = 1000000000000ULL; })));
    EXPECT_FALSE(decode(builder.build(0, [](Trailer& t) { t.objectCount = 0; })));
    EXPECT_FALSE(decode(builder.build(0, [](Trailer& t) { t.root = t.objectCount; })));
    EXPECT_FALSE(decode(builder.build(0, [](Trailer& t) { t.offsetTableOffset = 0xFFFFFFFFFFFFFFF0ULL; })));
    EXPECT_FALSE(decode(builder.build(0, [](Trailer& t) { t.offsetTableOffset += 5; })));
    EXPECT_FALSE(decode(builder.build(0, [](Trailer& t) { t.offsetTableOffset = 2; })));

    // Roots that are invalid themselves: a number as key, a reference past the end, a string longer
    // than the file, and a UID and a null, which the value model lacks.
    for (const Builder::Bytes& object : {Builder::dictionary(2, 2), Builder::array({1, 99}),
                                         Builder::Bytes{0x5F, 0x13, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                                         Builder::Bytes{0x80, 0x01}, Builder::Bytes{0x00}}) {
        const auto root = builder.add(object);
        EXPECT_FALSE(decode(builder.build(root))) << root;
    }
}

// libplist aborts on a UTF-16 key containing U+0000; such a file must be refused before that.
TEST(PropertyListSerialization, RejectsUtf16KeysContainingNul) {
    Builder builder;
    builder.add(Builder::dictionary(2, 4));
    builder.add(Builder::dictionary(3, 4));
    builder.add({0x63, 0x00, 'a', 0x00, 0x00, 0x00, 'b'});  // "a\0b"
    builder.add({0x62, 0x00, 0xE4, 0x00, 'b'});             // "äb"
    builder.add({0x09});                                    // true
    EXPECT_FALSE(decode(builder.build(0)));
    EXPECT_EQ(decode(builder.build(1)), PropertyListValue(Dictionary{{"äb", true}}));
}

TEST(PropertyListSerialization, EncoderAndDecoderShareTheLimits) {
    const std::size_t limit = PropertyListSerialization::limits.maximumDepth;
    PropertyListValue atLimit(Array{});
    for (std::size_t depth = 1; depth < limit; ++depth)
        atLimit = PropertyListValue(Array{atLimit});
    ASSERT_TRUE(PropertyListSerialization::isWithinLimits(atLimit));
    EXPECT_EQ(roundTrip(atLimit), atLimit);
    const PropertyListValue beyond(Array{atLimit});
    EXPECT_FALSE(PropertyListSerialization::isWithinLimits(beyond));
    EXPECT_THROW(PropertyListSerialization::binaryData(beyond), std::length_error);
    const Builder chain = Builder::chain(limit + 1, 1);
    EXPECT_FALSE(decode(chain.build(0)));
    EXPECT_TRUE(decode(chain.build(1)));

    const auto count = PropertyListSerialization::limits.maximumObjects;
    EXPECT_TRUE(PropertyListSerialization::isWithinLimits(Array(count - 1, PropertyListValue(true))));
    EXPECT_FALSE(PropertyListSerialization::isWithinLimits(Array(count, PropertyListValue(true))));
}

TEST(PropertyListSerialization, RejectsDeeplyNestedXmlWithoutCrashing) {
    const auto nested = [](std::size_t depth) {
        std::string text = "<plist version=\"1.0\">";
        for (std::size_t i = 0; i < depth; ++i)
            text += "<array>";
        for (std::size_t i = 0; i < depth; ++i)
            text += "</array>";
        return text + "</plist>";
    };
    EXPECT_FALSE(decodeText(nested(1000000)));
    EXPECT_TRUE(decodeText(nested(10)));
}

TEST(PropertyListXmlValidator, TracksNestingThroughCommentsCdataAndAttributes) {
    EXPECT_TRUE(PropertyListXmlValidator::isAcceptable("<a><b/><c x=\"<d>\"></c></a>", 2));
    EXPECT_FALSE(PropertyListXmlValidator::isAcceptable("<a><b><c></c></b></a>", 2));
    EXPECT_TRUE(PropertyListXmlValidator::isAcceptable("<a><!-- <b><c><d> --></a>", 1));
    EXPECT_TRUE(PropertyListXmlValidator::isAcceptable("<a><![CDATA[<b><c>]]></a>", 1));
    EXPECT_TRUE(
        PropertyListXmlValidator::isAcceptable("<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY y \"z\">]><a/>", 1));
    EXPECT_FALSE(PropertyListXmlValidator::isAcceptable("<a></b>", 4));
    EXPECT_FALSE(PropertyListXmlValidator::isAcceptable("<a><!-- unterminated", 4));
    EXPECT_FALSE(PropertyListXmlValidator::isAcceptable("<a x=\"unterminated>", 4));
    // Closing tags hidden in text cannot be used to undercount the nesting.
    EXPECT_FALSE(PropertyListXmlValidator::isAcceptable("<a><string>x</a>y</string><b><c/></b></a>", 8));
}

// Random damage to a valid file must never crash the decoder; whatever it still accepts must be a
// value that survives another round trip.
TEST(PropertyListSerialization, SurvivesRandomCorruption) {
    const Data original = PropertyListSerialization::binaryData(everyType());
    std::mt19937 random(20261207);
    const auto byte = [&] { return static_cast<std::uint8_t>(pick(random, 256)); };
    std::size_t accepted = 0;
    for (int iteration = 0; iteration < 4000; ++iteration) {
        Data bytes = original;
        const auto anywhere = [&] { return bytes.begin() + static_cast<std::ptrdiff_t>(pick(random, bytes.size())); };
        switch (iteration % 5) {
            case 0:  // a few random bytes anywhere
                for (std::size_t n = 1 + pick(random, 4); n > 0; --n)
                    *anywhere() = byte();
                break;
            case 1:  // single bit flips
                for (std::size_t n = 1 + pick(random, 3); n > 0; --n)
                    *anywhere() ^= static_cast<std::uint8_t>(1u << pick(random, 8));
                break;
            case 2:  // the trailer and the offset table are the most sensitive parts
                for (std::size_t n = 1 + pick(random, 3); n > 0; --n)
                    bytes[bytes.size() - 1 - pick(random, 64)] = byte();
                break;
            case 3:  // truncation, possibly after other damage
                *anywhere() = byte();
                bytes.resize(pick(random, bytes.size()));
                break;
            case 4:  // a byte inserted or removed shifts every offset
                if (pick(random, 2) == 0) {
                    bytes.insert(anywhere(), byte());
                } else {
                    bytes.erase(anywhere());
                }
                break;
        }
        if (const auto decoded = decode(bytes)) {
            ++accepted;
            ASSERT_TRUE(PropertyListSerialization::isWithinLimits(*decoded)) << iteration;
            ASSERT_TRUE(roundTrip(*decoded)) << iteration;
        }
    }
    // Some damage (e.g. inside string contents) leaves a valid file; most does not.
    EXPECT_GT(accepted, 0u);
    EXPECT_LT(accepted, 4000u);
}

TEST(PropertyListSerialization, SurvivesRandomCorruptionOfXml) {
    const std::string original =
        R"(<?xml version="1.0"?><plist version="1.0"><dict><key>a</key><array><integer>1</integer>)"
        R"(<real>2.5</real><string>x&amp;y</string><data>AAEC</data><date>2001-01-01T00:00:00Z</date><true/>)"
        R"(<dict><key>b</key><false/></dict></array></dict></plist>)";
    const std::string alphabet = "<>/!?[]-&;#\"'=abcdefgikrstuy0129 ";
    std::mt19937 random(7);
    std::size_t accepted = 0;
    for (int iteration = 0; iteration < 3000; ++iteration) {
        std::string text = original;
        for (std::size_t n = 1 + pick(random, 4); n > 0; --n)
            text[pick(random, text.size())] = alphabet[pick(random, alphabet.size())];
        if (iteration % 3 == 0)
            text.resize(pick(random, text.size()));
        if (const auto decoded = decodeText(text)) {
            ++accepted;
            ASSERT_TRUE(roundTrip(*decoded)) << text;
        }
    }
    EXPECT_LT(accepted, 3000u);
}

}  // namespace
}  // namespace velunto
