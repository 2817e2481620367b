// Stored forms of the persisted records: exact JSON text, strict decoding, round trips.
#include "app/camera/CameraSelection.h"
#include "app/processing/EQSettings.h"
#include "app/processing/PluginLatencyMeasurement.h"
#include "app/settings/DevicePriorityEntry.h"
#include "app/settings/InputMode.h"
#include "app/settings/StoredPluginComponent.h"
#include "app/ui/KeyShortcut.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace velunto {
namespace {

JSON parse(const std::string& text) {
    return JSONCoding::decode(std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::string encode(const JSON& json) {
    const auto bytes = JSONCoding::encode(json);
    return std::string(bytes.begin(), bytes.end());
}

template <class Decode>
std::string decodingErrorOf(const std::string& text, Decode decode) {
    try {
        decode(parse(text));
    } catch (const DecodingError& e) {
        return e.what();
    }
    return "(decoded)";
}

TEST(InputModeCoding, WritesOneCaseKeyWithItsValues) {
    EXPECT_EQ(encode(InputMode::systemDefault().toJSON()), R"({"systemDefault":{}})");
    EXPECT_EQ(encode(InputMode::fixed("BuiltInMicrophoneDevice").toJSON()),
              R"({"fixed":{"uid":"BuiltInMicrophoneDevice"}})");
    EXPECT_EQ(encode(InputMode::priority().toJSON()), R"({"priority":{}})");
}

TEST(InputModeCoding, ExactlyOneCaseKeyWhoseValueIsARecord) {
    const std::string invalidKeys = "Invalid number of keys found, expected one.";
    EXPECT_EQ(decodingErrorOf(R"({"fixed":{"uid":"X"},"priority":{}})", InputMode::fromJSON), invalidKeys);
    EXPECT_EQ(decodingErrorOf(R"({"comment":1})", InputMode::fromJSON), invalidKeys);
    EXPECT_EQ(decodingErrorOf(R"({"Fixed":{"uid":"X"}})", InputMode::fromJSON), invalidKeys);  // case-sensitive
    EXPECT_NE(decodingErrorOf(R"({"systemDefault":[]})", InputMode::fromJSON), "(decoded)");
    EXPECT_NE(decodingErrorOf(R"({"fixed":{"uid":7}})", InputMode::fromJSON), "(decoded)");
    EXPECT_NE(decodingErrorOf(R"([{"priority":{}}])", InputMode::fromJSON), "(decoded)");
}

TEST(CameraSelectionCoding, SameSchemeAsTheInputMode) {
    EXPECT_EQ(encode(CameraSelection::automatic().toJSON()), R"({"automatic":{}})");
    EXPECT_EQ(encode(CameraSelection::none().toJSON()), R"({"none":{}})");
    EXPECT_EQ(encode(CameraSelection::device("0x1420000046d0825").toJSON()),
              R"({"device":{"uniqueID":"0x1420000046d0825"}})");
    EXPECT_EQ(CameraSelection::fromJSON(parse(R"({"device":{"uniqueID":"C"},"x":{}})")), CameraSelection::device("C"));
    EXPECT_EQ(CameraSelection::fromJSON(parse(R"({"none":{}})")), CameraSelection::none());
    EXPECT_EQ(decodingErrorOf(R"({"none":{},"automatic":{}})", CameraSelection::fromJSON),
              "Invalid number of keys found, expected one.");
    EXPECT_NE(decodingErrorOf(R"({"device":{"uid":"C"}})", CameraSelection::fromJSON), "(decoded)");
}

TEST(PluginComponentCoding, CodesAreUnsignedDecimals) {
    const StoredPluginComponent delay{0x61756678 /*aufx*/, 0x64656C79 /*dely*/, 0x6170706C /*appl*/};
    EXPECT_EQ(encode(delay.toJSON()), R"({"type":1635083896,"subType":1684368505,"manufacturer":1634758764})");

    // A first character with the high bit set gives a code above 2^31 - 1.
    const StoredPluginComponent high{0xFF000001u, 0x80000000u, 0xFFFFFFFFu};
    const std::string text = encode(high.toJSON());
    EXPECT_EQ(text, R"({"type":4278190081,"subType":2147483648,"manufacturer":4294967295})");
    EXPECT_EQ(StoredPluginComponent::fromJSON(parse(text)), high);

    EXPECT_NE(decodingErrorOf(R"({"type":-1,"subType":1,"manufacturer":1})", StoredPluginComponent::fromJSON),
              "(decoded)");
    EXPECT_NE(decodingErrorOf(R"({"type":4294967296,"subType":1,"manufacturer":1})", StoredPluginComponent::fromJSON),
              "(decoded)");
    EXPECT_NE(decodingErrorOf(R"({"type":1.5,"subType":1,"manufacturer":1})", StoredPluginComponent::fromJSON),
              "(decoded)");
    EXPECT_NE(decodingErrorOf(R"({"type":"1","subType":1,"manufacturer":1})", StoredPluginComponent::fromJSON),
              "(decoded)");
    EXPECT_NE(decodingErrorOf(R"({"type":1,"subType":1})", StoredPluginComponent::fromJSON), "(decoded)");
}

TEST(KeyShortcutCoding, RoundTripsWithNonAsciiDisplay) {
    const KeyShortcut shortcut{0x23, 0x1000 | 0x0800, "⌃⌥P"};
    const std::string text = encode(shortcut.toJSON());
    EXPECT_EQ(text, R"({"keyCode":35,"modifiers":6144,"display":"⌃⌥P"})");
    EXPECT_EQ(KeyShortcut::fromJSON(parse(text)), shortcut);
    EXPECT_NE(decodingErrorOf(R"({"keyCode":35,"modifiers":6144,"display":null})", KeyShortcut::fromJSON), "(decoded)");
}

TEST(EQSettingsCoding, ReadsTheFormWrittenByEarlierVersions) {
    // Whole numbers written without a fraction, as another JSON encoder writes them.
    const std::string stored = R"({"isEnabled":true,"bands":[)"
                               R"({"isEnabled":false,"type":"lowCut","frequency":80,"gain":0,"q":1},)"
                               R"({"isEnabled":true,"type":"bell","frequency":250,"gain":0,"q":1},)"
                               R"({"isEnabled":true,"type":"bell","frequency":1000,"gain":0,"q":1},)"
                               R"({"isEnabled":true,"type":"bell","frequency":3500,"gain":0,"q":1},)"
                               R"({"isEnabled":true,"type":"highShelf","frequency":10000,"gain":0,"q":1}]})";
    EXPECT_EQ(EQSettings::fromJSON(parse(stored)), defaultEQSettings());
}

TEST(EQSettingsCoding, RoundTripsEveryBandType) {
    EQSettings settings{false, {}};
    for (EQBandType type : allEQBandTypes) {
        settings.bands.push_back({type != EQBandType::bell, type, 123.5, -17.25, 0.7071});
    }
    const JSON json = settings.toJSON();
    EXPECT_EQ(json.at("bands").at(2).at("type"), "highShelf");
    EXPECT_EQ(encode(json).find(R"({"isEnabled":false,"bands":[{"isEnabled":false,"type":"bell","frequency":123.5)"),
              0u);
    EXPECT_EQ(EQSettings::fromJSON(parse(encode(json))), settings);
}

TEST(EQSettingsCoding, RejectsMissingFieldsWrongTypesAndUnknownBandTypes) {
    const auto band = [](const std::string& fields) { return R"({"isEnabled":true,"bands":[{)" + fields + "}]}"; };
    EXPECT_NE(
        decodingErrorOf(band(R"("isEnabled":true,"type":"bell","frequency":1000,"gain":0)"), EQSettings::fromJSON),
        "(decoded)");
    EXPECT_NE(
        decodingErrorOf(band(R"("isEnabled":1,"type":"bell","frequency":1000,"gain":0,"q":1)"), EQSettings::fromJSON),
        "(decoded)");
    EXPECT_NE(decodingErrorOf(band(R"("isEnabled":true,"type":"notch","frequency":1000,"gain":0,"q":1)"),
                              EQSettings::fromJSON),
              "(decoded)");
    EXPECT_NE(decodingErrorOf(band(R"("isEnabled":true,"type":"bell","frequency":"1000","gain":0,"q":1)"),
                              EQSettings::fromJSON),
              "(decoded)");
    EXPECT_NE(decodingErrorOf(R"({"isEnabled":true,"bands":{}})", EQSettings::fromJSON), "(decoded)");
    // Extra members are ignored.
    EXPECT_EQ(EQSettings::fromJSON(
                  parse(band(R"("isEnabled":true,"type":"bell","frequency":1000,"gain":0,"q":1,"color":"red")")))
                  .bands.size(),
              1u);
}

TEST(EQSettingsCoding, NonFiniteValuesCannotBeEncoded) {
    EQSettings settings = defaultEQSettings();
    settings.bands[1].gain = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(settings.toJSON(), EncodingError);
    settings.bands[1].gain = std::numeric_limits<double>::infinity();
    EXPECT_THROW(settings.toJSON(), EncodingError);
}

TEST(PluginLatencyMeasurementCoding, FieldsInOrderAndDateSinceReferenceDate) {
    const PluginLatencyMeasurement m{0.0125, 0.0025, 0.005, 512, 0.93, Date{786000000.5}};
    const std::string text = encode(m.toJSON());
    EXPECT_EQ(text, R"({"activeSeconds":0.0125,"bypassedSeconds":0.0025,"reportedSeconds":0.005,)"
                    R"("blockFrames":512,"confidence":0.93,"date":786000000.5})");
    EXPECT_EQ(PluginLatencyMeasurement::fromJSON(parse(text)), m);
    // 2024-11-27 00:00:00 UTC is Unix 1732665600, i.e. 754358400 after the reference date.
    EXPECT_DOUBLE_EQ(Date::fromUnixTime(1732665600).timeIntervalSinceReferenceDate, 754358400.0);
    EXPECT_NE(
        decodingErrorOf(
            R"({"activeSeconds":0.01,"bypassedSeconds":0,"reportedSeconds":0,"blockFrames":512.5,"confidence":1,"date":0})",
            PluginLatencyMeasurement::fromJSON),
        "(decoded)");
}

TEST(DevicePriorityEntryCoding, UidThenName) {
    const DevicePriorityEntry e{"AppleUSBAudioEngine:Rode:NT-USB:1", "RØDE NT-USB"};
    EXPECT_EQ(encode(e.toJSON()), R"({"uid":"AppleUSBAudioEngine:Rode:NT-USB:1","name":"RØDE NT-USB"})");
    EXPECT_EQ(DevicePriorityEntry::fromJSON(parse(R"({"name":"n","uid":"u","extra":[1,2]})")),
              (DevicePriorityEntry{"u", "n"}));
}

TEST(JSONDecoding, HostileTextIsRejectedNotCrashing) {
    const std::string deep(100000, '[');
    EXPECT_THROW(parse(deep + std::string(100000, ']')), DecodingError);
    EXPECT_THROW(parse(R"({"a":1e400})"), DecodingError);
    EXPECT_THROW(parse(R"({"a":NaN})"), DecodingError);
    EXPECT_THROW(parse("{\"uid\":\"\xff\xfe\"}"), DecodingError);
    EXPECT_THROW(parse(R"({"uid":"x")"), DecodingError);
    EXPECT_THROW(parse(""), DecodingError);
    EXPECT_THROW(encode(JSON{{"name", std::string("\xc3\x28")}}), EncodingError);  // not UTF-8
}

}  // namespace
}  // namespace velunto
