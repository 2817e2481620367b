#include "platform/foundation/NSBundle.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "tests/platform/foundation/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace velunto {
namespace {

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// Points the main bundle at a directory for one test and restores the lookup afterwards.
class MainBundleTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("VELUNTO_BUNDLE_DIR", directory.path().c_str(), 1); }
    void TearDown() override {
        ::unsetenv("VELUNTO_BUNDLE_DIR");
        NSBundle::mainBundle().reload();
    }
    TemporaryDirectory directory;
};

TEST_F(MainBundleTest, ReadsXmlInfoPlistFromBundleDirectory) {
    writeFile(directory.path() / "Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>CFBundleVersion</key><string>42</string>
  <key>SUEnableAutomaticChecks</key><false/>
</dict></plist>)");
    NSBundle& bundle = NSBundle::mainBundle();
    bundle.reload();
    EXPECT_EQ(bundle.stringForInfoDictionaryKey("CFBundleVersion"), "42");
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("SUEnableAutomaticChecks"), PropertyListValue(false));
    EXPECT_EQ(bundle.stringForInfoDictionaryKey("SUEnableAutomaticChecks"), std::nullopt);  // not a string
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("Missing"), std::nullopt);
    EXPECT_EQ(bundle.infoPlistPath(), directory.path() / "Info.plist");
}

TEST_F(MainBundleTest, ReadsBinaryInfoPlist) {
    const Data bytes = PropertyListSerialization::binaryData(
        PropertyListValue::Dictionary{{"SUFeedURL", "file:///feed.xml"}, {"SUScheduledCheckInterval", 7200}});
    writeFile(directory.path() / "Info.plist", std::string(bytes.begin(), bytes.end()));
    NSBundle& bundle = NSBundle::mainBundle();
    bundle.reload();
    EXPECT_EQ(bundle.stringForInfoDictionaryKey("SUFeedURL"), "file:///feed.xml");
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("SUScheduledCheckInterval"), PropertyListValue(7200));
}

TEST_F(MainBundleTest, MissingOrInvalidFileGivesEmptyDictionary) {
    NSBundle& bundle = NSBundle::mainBundle();
    bundle.setInfoDictionary({{"CFBundleVersion", "1"}});
    bundle.reload();
    EXPECT_TRUE(bundle.infoDictionary().empty());
    EXPECT_FALSE(bundle.infoPlistPath().has_value());

    writeFile(directory.path() / "Info.plist", "<plist><array><string>x</string></array></plist>");
    bundle.reload();
    EXPECT_TRUE(bundle.infoDictionary().empty());
    writeFile(directory.path() / "Info.plist", "not a property list");
    bundle.reload();
    EXPECT_TRUE(bundle.infoDictionary().empty());
}

TEST(NSBundleTest, SetInfoDictionaryReplacesContents) {
    TemporaryDirectory directory;
    writeFile(directory.path() / "Info.plist",
              "<plist><dict><key>A</key><string>file</string><key>B</key><string>b</string></dict></plist>");
    NSBundle bundle(directory.path());
    ASSERT_EQ(bundle.stringForInfoDictionaryKey("A"), "file");
    bundle.setInfoDictionary({{"A", "replaced"}});
    EXPECT_EQ(bundle.stringForInfoDictionaryKey("A"), "replaced");
    EXPECT_EQ(bundle.objectForInfoDictionaryKey("B"), std::nullopt);
    EXPECT_EQ(bundle.infoDictionary().size(), 1u);
}

}  // namespace
}  // namespace velunto
