#include "platform/foundation/PropertyListBinaryValidator.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/PropertyListXmlValidator.h"

#include "tests/platform/foundation/BinaryPlistBuilder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

namespace velunto {
namespace {

using Array = PropertyListValue::Array;
using Dictionary = PropertyListValue::Dictionary;

Data bytesOf(std::string_view text) {
    return Data(text.begin(), text.end());
}

PropertyListValue everyType() {
    Data allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes.push_back(static_cast<std::uint8_t>(i));
    return Dictionary{
        {"bool.true", true},
        {"bool.false", false},
        {"int.zero", 0},
        {"int.small", 42},
        {"int.negative", -1},
        {"int.min", std::numeric_limits<std::int64_t>::min()},
        {"int.max", std::numeric_limits<std::int64_t>::max()},
        {"int.boundaries", Array{255, 256, 65535, 65536, std::int64_t{4294967295}, std::int64_t{4294967296}, -129}},
        {"real", 0.5},
        {"real.float", 1.25f},
        {"real.huge", -1e300},
        {"real.tiny", 5e-324},
        {"string.ascii", "Built-in Microphone"},
        {"string.utf8", "Einspeisung ä ö ü ß ⌃⌥"},
        {"string.astral", "Mikro 🎙"},
        {"string.empty", ""},
        {"string.long", std::string(300, 'x')},
        {"data", allBytes},
        {"data.empty", Data{}},
        {"date.reference", Date{0}},
        {"date.recent", Date{786543210.25}},
        {"date.past", Date{-31536000.5}},
        {"array.empty", Array{}},
        {"dict.empty", Dictionary{}},
        {"Größe ⌥", "non-ASCII key"},
        {"nested",
         Array{Dictionary{{"uid", "BuiltInMicrophoneDevice"}, {"name", "MacBook Pro Mikrofon"}},
               Array{Array{Array{1, 2.5, "drei"}}}, Dictionary{{"inner", Dictionary{{"deep", Data{9, 8, 7}}}}}}},
    };
}

TEST(PropertyListSerialization, BinaryRoundTripPreservesEveryType) {
    const PropertyListValue value = everyType();
    const Data bytes = PropertyListSerialization::binaryData(value);
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "bplist00");
    const auto decoded = PropertyListSerialization::propertyList(bytes);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, value);
}

TEST(PropertyListSerialization, ScalarRootsRoundTrip) {
    const PropertyListValue roots[] = {
        PropertyListValue(true),    PropertyListValue(-5),      PropertyListValue(2.5),    PropertyListValue("ä"),
        PropertyListValue(Data{1}), PropertyListValue(Date{3}), PropertyListValue(Array{})};
    for (const PropertyListValue& root : roots) {
        const auto decoded = PropertyListSerialization::propertyList(PropertyListSerialization::binaryData(root));
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(*decoded, root);
    }
}

TEST(PropertyListSerialization, DatesKeepMicrosecondsAndClampToTheStorableRange) {
    const double times[] = {123456789.123456, -123456789.654321, 0.000001, 1e9 + 0.5};
    for (const double time : times) {
        const auto decoded = PropertyListSerialization::propertyList(
            PropertyListSerialization::binaryData(PropertyListValue(Date{time})));
        ASSERT_TRUE(decoded && decoded->isDate());
        EXPECT_NEAR(decoded->date()->timeIntervalSinceReferenceDate, time, 1.5e-6) << time;
    }
    const auto far =
        PropertyListSerialization::propertyList(PropertyListSerialization::binaryData(PropertyListValue(Date{1e12})));
    ASSERT_TRUE(far && far->isDate());
    EXPECT_EQ(far->date()->timeIntervalSinceReferenceDate, 2147483647.0);
}

TEST(PropertyListSerialization, InvalidUtf8IsReplacedInsteadOfBreakingTheFile) {
    const std::string replacement = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"\xff", replacement},
        {"a\xff"
         "b",
         "a" + replacement + "b"},
        {"\xc3", replacement},
        {"ok\xe2\x8c", "ok" + replacement + replacement},
        {"\xed\xa0\x80", replacement + replacement + replacement},                    // surrogate
        {"\xf4\x90\x80\x80", replacement + replacement + replacement + replacement},  // above U+10FFFF
        {"\xc0\xaf", replacement + replacement},                                      // overlong
        {"ä⌃🎙", "ä⌃🎙"},
    };
    for (const auto& [input, expected] : cases) {
        const auto decoded = PropertyListSerialization::propertyList(
            PropertyListSerialization::binaryData(Dictionary{{input, input}, {"plain", input}}));
        ASSERT_TRUE(decoded.has_value()) << input;
        EXPECT_EQ(*decoded, PropertyListValue(Dictionary{{expected, expected}, {"plain", expected}})) << input;
    }
}

// libplist converts a date to whole seconds and microseconds through int32; values far outside that
// range come back as arbitrary numbers but must decode without overflow.
TEST(PropertyListSerialization, DecodesDatesFarOutsideTheStorableRange) {
    for (const double seconds : {1e300, -1e300, 4e9}) {
        BinaryPlistBuilder builder;
        BinaryPlistBuilder::Bytes date{0x33};
        std::uint64_t bits = 0;
        std::memcpy(&bits, &seconds, sizeof bits);
        BinaryPlistBuilder::appendBigEndian(date, bits, 8);
        const auto root = builder.add(date);
        const auto decoded = PropertyListSerialization::propertyList(builder.build(root));
        ASSERT_TRUE(decoded.has_value());
        EXPECT_TRUE(decoded->isDate());
    }
}

TEST(PropertyListSerialization, DecodesXmlPropertyLists) {
    const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <!-- a comment with <array> inside -->
  <key>flag</key><true/>
  <key>count</key><integer>-12</integer>
  <key>ratio</key><real>0.25</real>
  <key>name</key><string>Mikrofon &amp; Größe</string>
  <key>blob</key><data>AAEC/w==</data>
  <key>when</key><date>2001-01-01T00:01:00Z</date>
  <key>list</key><array><string>a</string><dict/></array>
</dict>
</plist>
)";
    const auto decoded = PropertyListSerialization::propertyList(bytesOf(xml));
    ASSERT_TRUE(decoded.has_value());
    const PropertyListValue expected = Dictionary{
        {"flag", true},
        {"count", -12},
        {"ratio", 0.25},
        {"name", "Mikrofon & Größe"},
        {"blob", Data{0, 1, 2, 255}},
        {"when", Date{60}},
        {"list", Array{"a", Dictionary{}}},
    };
    EXPECT_EQ(*decoded, expected);
}

TEST(PropertyListSerialization, RejectsGarbage) {
    const std::string inputs[] = {"",
                                  "bplist",
                                  "hello world, this is not a property list",
                                  "bplist00",
                                  "bplist00" + std::string(40, '\0'),
                                  "bplist01" + std::string(40, '\xff'),
                                  "<plist><array><string>x</array></string></plist>",
                                  "<plist><array>",
                                  "{\"json\": true}",
                                  std::string("\0\0\0\0\0\0\0\0\0\0", 10)};
    for (const std::string& input : inputs) {
        EXPECT_FALSE(PropertyListSerialization::propertyList(bytesOf(input)).has_value()) << input;
    }
}

TEST(PropertyListSerialization, RejectsEveryTruncationOfAValidFile) {
    const Data bytes = PropertyListSerialization::binaryData(everyType());
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        const Data prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(PropertyListSerialization::propertyList(prefix).has_value()) << length;
    }
}

TEST(PropertyListSerialization, RejectsTypesOutsideTheValueModel) {
    for (const auto& object : {BinaryPlistBuilder::uid(1), BinaryPlistBuilder::null()}) {
        BinaryPlistBuilder builder;
        const auto inner = builder.add(object);
        const auto root = builder.add(builder.array({inner}));
        EXPECT_FALSE(PropertyListSerialization::propertyList(builder.build(root)).has_value());
    }
}

TEST(PropertyListSerialization, HandBuiltFileDecodes) {
    BinaryPlistBuilder builder(1, 1);
    const auto key = builder.add(BinaryPlistBuilder::ascii("level"));
    const auto value = builder.add(BinaryPlistBuilder::integer(-3));
    const auto root = builder.add(builder.dictionary({key}, {value}));
    const auto decoded = PropertyListSerialization::propertyList(builder.build(root));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, PropertyListValue(Dictionary{{"level", -3}}));
}

// Hostile files. Without the validation in front of libplist, the first two crash the process
// (stack overflow) or exhaust memory.
TEST(PropertyListSerialization, RejectsDeepNestingWithoutCrashing) {
    BinaryPlistBuilder builder;
    constexpr std::uint64_t depth = 300000;
    for (std::uint64_t i = 0; i < depth; ++i) {
        builder.add(i + 1 < depth ? builder.array({i + 1}) : builder.array({}));
    }
    EXPECT_FALSE(PropertyListSerialization::propertyList(builder.build(0)).has_value());
}

TEST(PropertyListSerialization, RejectsExponentialExpansionOfSharedReferences) {
    BinaryPlistBuilder builder;
    constexpr std::uint64_t levels = 30;
    for (std::uint64_t i = 0; i < levels; ++i) {
        builder.add(i + 1 < levels ? builder.array({i + 1, i + 1, i + 1}) : BinaryPlistBuilder::boolean(true));
    }
    EXPECT_FALSE(PropertyListSerialization::propertyList(builder.build(0)).has_value());
}

TEST(PropertyListSerialization, AcceptsModestSharingOfReferences) {
    BinaryPlistBuilder builder;
    const auto leaf = builder.add(BinaryPlistBuilder::ascii("x"));
    const auto middle = builder.add(builder.array({leaf, leaf, leaf}));
    const auto root = builder.add(builder.array({middle, middle}));
    const auto decoded = PropertyListSerialization::propertyList(builder.build(root));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, PropertyListValue(Array{Array{"x", "x", "x"}, Array{"x", "x", "x"}}));
}

TEST(PropertyListSerialization, RejectsCycles) {
    BinaryPlistBuilder builder;
    const auto self = builder.reserve();
    builder.replace(self, builder.array({self}));
    EXPECT_FALSE(PropertyListSerialization::propertyList(builder.build(self)).has_value());

    BinaryPlistBuilder indirect;
    const auto a = indirect.reserve();
    const auto key = indirect.add(BinaryPlistBuilder::ascii("k"));
    const auto b = indirect.add(indirect.dictionary({key}, {a}));
    indirect.replace(a, indirect.array({b}));
    EXPECT_FALSE(PropertyListSerialization::propertyList(indirect.build(a)).has_value());
}

TEST(PropertyListSerialization, RejectsLyingTrailersAndReferences) {
    BinaryPlistBuilder builder;
    const auto key = builder.add(BinaryPlistBuilder::ascii("k"));
    const auto value = builder.add(BinaryPlistBuilder::integer(1));
    const auto root = builder.add(builder.dictionary({key}, {value}));
    ASSERT_TRUE(PropertyListSerialization::propertyList(builder.build(root)).has_value());

    using Trailer = BinaryPlistBuilder::Trailer;
    const auto lie = [&](auto adjust) { return PropertyListSerialization::propertyList(builder.build(root, adjust)); };
    EXPECT_FALSE(lie([](Trailer& t) { t.objectCount = 1000000000000ULL; }));
    EXPECT_FALSE(lie([](Trailer& t) { t.objectCount = 0; }));
    EXPECT_FALSE(lie([](Trailer& t) { t.root = t.objectCount; }));
    EXPECT_FALSE(lie([](Trailer& t) { t.offsetTableOffset = 0xFFFFFFFFFFFFFFF0ULL; }));
    EXPECT_FALSE(lie([](Trailer& t) { t.offsetTableOffset += 5; }));
    EXPECT_FALSE(lie([](Trailer& t) { t.offsetTableOffset = 2; }));

    BinaryPlistBuilder badKey;
    const auto numberKey = badKey.add(BinaryPlistBuilder::integer(7));
    const auto target = badKey.add(BinaryPlistBuilder::boolean(true));
    const auto dictionary = badKey.add(badKey.dictionary({numberKey}, {target}));
    EXPECT_FALSE(PropertyListSerialization::propertyList(badKey.build(dictionary)).has_value());

    BinaryPlistBuilder outOfRange;
    const auto element = outOfRange.add(BinaryPlistBuilder::boolean(false));
    const auto array = outOfRange.add(outOfRange.array({element, 99}));
    EXPECT_FALSE(PropertyListSerialization::propertyList(outOfRange.build(array)).has_value());

    BinaryPlistBuilder overlong;
    const auto tooLong = overlong.add({0x5F, 0x13, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a'});
    EXPECT_FALSE(PropertyListSerialization::propertyList(overlong.build(tooLong)).has_value());
}

// libplist aborts on a UTF-16 key containing U+0000; such a file must be refused before that.
TEST(PropertyListSerialization, RejectsKeysContainingNul) {
    BinaryPlistBuilder builder;
    const auto key = builder.add({0x63, 0x00, 'a', 0x00, 0x00, 0x00, 'b'});
    const auto value = builder.add(BinaryPlistBuilder::boolean(true));
    const auto root = builder.add(builder.dictionary({key}, {value}));
    EXPECT_FALSE(PropertyListSerialization::propertyList(builder.build(root)).has_value());

    BinaryPlistBuilder fine;
    const auto goodKey = fine.add({0x62, 0x00, 0xE4, 0x00, 'b'});
    const auto goodValue = fine.add(BinaryPlistBuilder::boolean(true));
    const auto goodRoot = fine.add(fine.dictionary({goodKey}, {goodValue}));
    EXPECT_EQ(PropertyListSerialization::propertyList(fine.build(goodRoot)),
              PropertyListValue(Dictionary{{"äb", true}}));
}

TEST(PropertyListSerialization, NestingLimitIsTheSameForEncoderAndDecoder) {
    const std::size_t limit = PropertyListSerialization::limits.maximumDepth;
    const auto nested = [](std::size_t depth) {
        PropertyListValue value(Array{});
        for (std::size_t i = 1; i < depth; ++i)
            value = PropertyListValue(Array{value});
        return value;
    };
    const PropertyListValue atLimit = nested(limit);
    ASSERT_TRUE(PropertyListSerialization::isWithinLimits(atLimit));
    const auto decoded = PropertyListSerialization::propertyList(PropertyListSerialization::binaryData(atLimit));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, atLimit);

    const PropertyListValue beyond = nested(limit + 1);
    EXPECT_FALSE(PropertyListSerialization::isWithinLimits(beyond));
    EXPECT_THROW(PropertyListSerialization::binaryData(beyond), std::length_error);

    BinaryPlistBuilder builder;
    for (std::uint64_t i = 0; i <= limit; ++i)
        builder.add(i < limit ? builder.array({i + 1}) : builder.array({}));
    EXPECT_FALSE(PropertyListSerialization::propertyList(builder.build(0)).has_value());
    EXPECT_TRUE(PropertyListSerialization::propertyList(builder.build(1)).has_value());
}

TEST(PropertyListSerialization, ObjectCountLimitAppliesToTheEncoder) {
    const auto count = PropertyListSerialization::limits.maximumObjects;
    EXPECT_TRUE(PropertyListSerialization::isWithinLimits(Array(count - 1, PropertyListValue(true))));
    EXPECT_FALSE(PropertyListSerialization::isWithinLimits(Array(count, PropertyListValue(true))));
}

TEST(PropertyListSerialization, RejectsDeeplyNestedXmlWithoutCrashing) {
    const std::string open = "<array>";
    const std::string close = "</array>";
    std::string deep = "<plist version=\"1.0\">";
    for (int i = 0; i < 1000000; ++i)
        deep += open;
    for (int i = 0; i < 1000000; ++i)
        deep += close;
    deep += "</plist>";
    EXPECT_FALSE(PropertyListSerialization::propertyList(bytesOf(deep)).has_value());

    std::string shallow = "<plist version=\"1.0\">";
    for (int i = 0; i < 10; ++i)
        shallow += open;
    for (int i = 0; i < 10; ++i)
        shallow += close;
    shallow += "</plist>";
    EXPECT_TRUE(PropertyListSerialization::propertyList(bytesOf(shallow)).has_value());
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
    const auto pick = [&](std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
    };
    std::size_t accepted = 0;
    for (int iteration = 0; iteration < 4000; ++iteration) {
        Data bytes = original;
        switch (iteration % 5) {
            case 0:  // a few random bytes anywhere
                for (std::size_t n = 1 + pick(4); n > 0; --n)
                    bytes[pick(bytes.size())] = static_cast<std::uint8_t>(pick(256));
                break;
            case 1:  // single bit flips
                for (std::size_t n = 1 + pick(3); n > 0; --n)
                    bytes[pick(bytes.size())] ^= static_cast<std::uint8_t>(1u << pick(8));
                break;
            case 2:  // the trailer and the offset table are the most sensitive parts
                for (std::size_t n = 1 + pick(3); n > 0; --n) {
                    bytes[bytes.size() - 1 - pick(std::min<std::size_t>(bytes.size(), 64))] =
                        static_cast<std::uint8_t>(pick(256));
                }
                break;
            case 3:  // truncation, possibly after other damage
                bytes[pick(bytes.size())] = static_cast<std::uint8_t>(pick(256));
                bytes.resize(pick(bytes.size()));
                break;
            case 4:  // bytes inserted or removed shift every offset
                if (pick(2) == 0) {
                    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(pick(bytes.size())),
                                 static_cast<std::uint8_t>(pick(256)));
                } else {
                    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(pick(bytes.size())));
                }
                break;
        }
        const auto decoded = PropertyListSerialization::propertyList(bytes);
        if (!decoded)
            continue;
        ++accepted;
        ASSERT_TRUE(PropertyListSerialization::isWithinLimits(*decoded));
        const auto again = PropertyListSerialization::propertyList(PropertyListSerialization::binaryData(*decoded));
        ASSERT_TRUE(again.has_value()) << iteration;
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
    std::mt19937 random(7);
    const auto pick = [&](std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random);
    };
    const std::string alphabet = "<>/!?[]-&;#\"'=abcdefgikrstuy0129 ";
    std::size_t accepted = 0;
    for (int iteration = 0; iteration < 3000; ++iteration) {
        std::string text = original;
        for (std::size_t n = 1 + pick(4); n > 0; --n)
            text[pick(text.size())] = alphabet[pick(alphabet.size())];
        if (iteration % 3 == 0)
            text.resize(pick(text.size()));
        const auto decoded = PropertyListSerialization::propertyList(bytesOf(text));
        if (!decoded)
            continue;
        ++accepted;
        const auto again = PropertyListSerialization::propertyList(PropertyListSerialization::binaryData(*decoded));
        ASSERT_TRUE(again.has_value()) << text;
    }
    EXPECT_LT(accepted, 3000u);
}

}  // namespace
}  // namespace velunto
