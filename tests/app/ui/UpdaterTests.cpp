// The application's updater over the update framework, with a file feed, in virtual time.

#include "app/ui/Updater.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/dispatch/VirtualTime.h"
#include "platform/foundation/NSBundle.h"
#include "platform/sparkle/SPURecordingUserDriver.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

class UpdaterTest : public ::testing::Test {
protected:
    void SetUp() override {
        feed = std::filesystem::temp_directory_path() / ("velunto-appcast-" + std::to_string(::getpid()) + ".xml");
        std::ofstream(feed) << R"(<?xml version="1.0"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>
<item><title>Velunto 1.10</title><enclosure url="https://example.invalid/Velunto-1.10.tar.gz"
 sparkle:version="1.10" sparkle:shortVersionString="1.10" length="1" type="application/octet-stream"/></item>
<item><title>Velunto 1.9</title><enclosure url="https://example.invalid/Velunto-1.9.tar.gz"
 sparkle:version="1.9" length="1" type="application/octet-stream"/></item>
</channel></rss>)";
        saved = NSBundle::mainBundle().infoDictionary();
    }
    void TearDown() override {
        NSBundle::mainBundle().setInfoDictionary(saved);
        std::filesystem::remove(feed);
    }
    void bundle(std::optional<std::string> shortVersion) {
        PropertyListValue::Dictionary info;
        info["CFBundleVersion"] = PropertyListValue(std::string("1.9"));
        if (shortVersion)
            info["CFBundleShortVersionString"] = PropertyListValue(*shortVersion);
        info["SUFeedURL"] = PropertyListValue("file://" + feed.string());
        NSBundle::mainBundle().setInfoDictionary(info);
    }

    VirtualTime time;
    std::filesystem::path feed;
    PropertyListValue::Dictionary saved;
};

TEST_F(UpdaterTest, VersionTextFromTheBundle) {
    bundle("1.9");
    EXPECT_EQ(Updater::versionText(), "Version 1.9");
    bundle(std::nullopt);
    EXPECT_EQ(Updater::versionText(), "Version ?");
}

TEST_F(UpdaterTest, AUserCheckFindsTheNewerVersionAndMirrorsWhetherOneCanStart) {
    bundle("1.9");
    const auto driver = std::make_shared<SPURecordingUserDriver>();
    const auto updater = Updater::make(driver);
    time.runUntilIdle();
    EXPECT_TRUE(updater->canCheckForUpdates.value());
    EXPECT_TRUE(updater->supportsGentleScheduledUpdateReminders());

    updater->checkForUpdates();
    time.runUntilIdle();
    ASSERT_EQ(driver->updatesFound().size(), 1u);
    EXPECT_EQ(driver->updatesFound()[0].first.item.versionString, "1.10");
    EXPECT_TRUE(updater->canCheckForUpdates.value());
}

}  // namespace
