#include "platform/dispatch/VirtualTime.h"
#include "platform/foundation/NSBundle.h"
#include "platform/oslog/LogCapture.h"
#include "platform/sparkle/SPURecordingUserDriver.h"
#include "platform/sparkle/SPUStandardUpdaterController.h"
#include "platform/sparkle/SPUUpdater.h"
#include "tests/platform/foundation/TemporaryDirectory.h"
#include "tests/platform/sparkle/AppcastFeed.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

namespace velunto {
namespace {

using namespace std::chrono_literals;

struct GentleDelegate : SPUStandardUserDriverDelegate {
    bool supportsGentleScheduledUpdateReminders() override { return true; }
};

class UpdaterTest : public ::testing::Test {
protected:
    // A feed file; returns its file:// URL.
    std::string writeFeed(const std::string& xml, const std::string& name = "appcast.xml") {
        std::ofstream(directory.path() / name, std::ios::binary) << xml;
        return "file://" + (directory.path() / name).string();
    }

    SPUUpdater& makeUpdater(PropertyListValue::Dictionary info,
                            std::weak_ptr<SPUStandardUserDriverDelegate> delegate = {}) {
        info.emplace("CFBundleVersion", "120");
        info.emplace("CFBundleShortVersionString", "1.2");
        info.emplace("CFBundleName", "Velunto");
        bundle = std::make_unique<NSBundle>(std::move(info));
        driver = std::make_shared<SPURecordingUserDriver>(delegate);
        updater = std::make_unique<SPUUpdater>(*bundle, driver);
        return *updater;
    }

    SPUUpdater& startedUpdater(const std::string& feedXml, PropertyListValue::Dictionary info = {},
                               std::weak_ptr<SPUStandardUserDriverDelegate> delegate = {}) {
        info.emplace("SUFeedURL", writeFeed(feedXml));
        SPUUpdater& made = makeUpdater(std::move(info), std::move(delegate));
        EXPECT_TRUE(made.startUpdater());
        return made;
    }

    static std::string feedWithUpdate() {
        return appcastFeed(
            {appcastItem("110", "1.1"),
             appcastItem("130", "1.3", "<sparkle:releaseNotesLink>https://example.org/n</sparkle:releaseNotesLink>"),
             appcastItem("120", "1.2")});
    }

    VirtualTime time;
    TemporaryDirectory directory;
    std::unique_ptr<NSBundle> bundle;
    std::shared_ptr<SPURecordingUserDriver> driver;
    std::unique_ptr<SPUUpdater> updater;
};

TEST_F(UpdaterTest, UserCheckShowsFoundUpdateAndBlocksChecksMeanwhile) {
    SPUUpdater& u = makeUpdater({{"SUFeedURL", writeFeed(feedWithUpdate())}});
    std::vector<bool> states;
    const auto token = u.canCheckForUpdates.sink([&](bool value) { states.push_back(value); });
    u.checkForUpdates();  // not started: ignored
    ASSERT_TRUE(u.startUpdater());

    u.checkForUpdates();
    EXPECT_TRUE(u.sessionInProgress());
    u.checkForUpdates();  // ignored while the first runs
    u.checkForUpdatesInBackground();
    time.runUntilIdle();

    EXPECT_EQ(states, (std::vector<bool>{false, true, false, true}));
    ASSERT_EQ(driver->presentationCount(), 1u);
    ASSERT_EQ(driver->updatesFound().size(), 1u);
    const auto& [found, state] = driver->updatesFound()[0];
    EXPECT_TRUE(state.userInitiated());
    EXPECT_EQ(found.item.versionString, "130");
    EXPECT_EQ(found.currentVersion, "1.2");
    EXPECT_EQ(found.item.releaseNotesURL, "https://example.org/n");
    EXPECT_EQ(found.message, "Eine neue Version von Velunto ist verfügbar.");
    EXPECT_EQ(found.informativeText, "Velunto 1.3 ist verfügbar – installiert ist Version 1.2.");
}

TEST_F(UpdaterTest, UserCheckWithoutNewerVersionSaysUpToDate) {
    SPUUpdater& u = startedUpdater(appcastFeed({appcastItem("120", "1.2"), appcastItem("119")}));
    u.checkForUpdates();
    time.runUntilIdle();
    ASSERT_EQ(driver->updatesNotFound().size(), 1u);
    EXPECT_EQ(driver->presentationCount(), 1u);
    EXPECT_EQ(driver->updatesNotFound()[0].message, "Velunto ist auf dem neuesten Stand.");
    EXPECT_EQ(driver->updatesNotFound()[0].informativeText, "Version 1.2 ist die neueste verfügbare Version.");
    EXPECT_TRUE(u.canCheckForUpdates.value());
}

TEST_F(UpdaterTest, FailedChecksShowErrorsOnlyWhenUserInitiated) {
    const struct {
        const char* feed;  // nullptr: no file
        long code;
    } cases[] = {
        {nullptr, SUAppcastError},
        {"<html><body>Not found", SUAppcastParseError},
        {R"(<rss xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel/></rss>)",
         SUAppcastNoItemsError},
        {R"(<rss><channel><item><title>x</title><enclosure url="https://e.org/x.zip"/></item></channel></rss>)",
         SUAppcastNoVersionError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        const std::string url =
            c.feed != nullptr ? writeFeed(c.feed) : "file://" + (directory.path() / "none").string();
        SPUUpdater& u = makeUpdater({{"SUFeedURL", url}});
        ASSERT_TRUE(u.startUpdater());
        u.checkForUpdatesInBackground();
        time.runUntilIdle();
        EXPECT_EQ(driver->presentationCount(), 0u);
        u.checkForUpdates();
        time.runUntilIdle();
        ASSERT_EQ(driver->errors().size(), 1u);
        EXPECT_EQ(driver->presentationCount(), 1u);
        EXPECT_EQ(driver->errors()[0].domain, SUSparkleErrorDomain);
        EXPECT_EQ(driver->errors()[0].code, c.code);
        EXPECT_FALSE(driver->errors()[0].localizedDescription.empty());
        EXPECT_TRUE(u.canCheckForUpdates.value());
    }
}

TEST_F(UpdaterTest, StartFailsWithoutUsableFeedURL) {
    for (const char* url : {"", "not a url", "ftp://example.org/feed.xml"}) {
        SCOPED_TRACE(url);
        PropertyListValue::Dictionary info;
        if (*url != '\0')
            info.emplace("SUFeedURL", url);
        SPUUpdater& u = makeUpdater(std::move(info));
        NSError error;
        EXPECT_FALSE(u.startUpdater(&error));
        EXPECT_EQ(error.code, SUInvalidFeedURLError);
        EXPECT_FALSE(u.canCheckForUpdates.value());
        u.checkForUpdates();
        time.advance(48h);
        EXPECT_EQ(driver->presentationCount(), 0u);
    }
}

TEST_F(UpdaterTest, ScheduledChecksRunEveryIntervalAndShowOnlyUpdates) {
    SPUUpdater& u = startedUpdater(feedWithUpdate(), {{"SUScheduledCheckInterval", 7200}});
    EXPECT_EQ(u.updateCheckInterval(), 7200s);
    time.advance(7199s);
    EXPECT_EQ(driver->presentationCount(), 0u);
    time.advance(1s);
    ASSERT_EQ(driver->updatesFound().size(), 1u);
    EXPECT_FALSE(driver->updatesFound()[0].second.userInitiated());
    EXPECT_FALSE(u.gentleReminder.value().has_value());

    writeFeed(appcastFeed({appcastItem("120")}));  // nothing newer: a scheduled check stays silent
    time.advance(7200s);
    EXPECT_EQ(driver->presentationCount(), 1u);
    writeFeed(feedWithUpdate());
    time.advance(7200s);
    EXPECT_EQ(driver->updatesFound().size(), 2u);
}

TEST_F(UpdaterTest, ScheduledUpdateBecomesGentleReminderUntilUserChecks) {
    const auto delegate = std::make_shared<GentleDelegate>();
    LogCapture logs;
    SPUUpdater& u = startedUpdater(feedWithUpdate(), {}, delegate);
    time.advance(86399s);
    EXPECT_FALSE(u.gentleReminder.value().has_value());
    time.advance(1s);
    EXPECT_EQ(u.gentleReminder.value(), "1.3");
    EXPECT_EQ(driver->presentationCount(), 0u);
    bool logged = false;
    for (const LogEntry& entry : logs.entries("Updater"))
        logged = logged || (entry.type == OSLogType::defaultType && entry.message.find("1.3") != std::string::npos);
    EXPECT_TRUE(logged);

    u.checkForUpdates();
    time.runUntilIdle();
    ASSERT_EQ(driver->updatesFound().size(), 1u);
    EXPECT_TRUE(driver->updatesFound()[0].second.userInitiated());
    EXPECT_FALSE(u.gentleReminder.value().has_value());
}

TEST_F(UpdaterTest, BundleSettingsControlTheSchedule) {
    EXPECT_FALSE(makeUpdater({{"SUEnableAutomaticChecks", false}}).automaticallyChecksForUpdates());
    EXPECT_EQ(makeUpdater({{"SUScheduledCheckInterval", 60}}).updateCheckInterval(), 3600s);
    EXPECT_EQ(makeUpdater({{"SUScheduledCheckInterval", 5400.5}}).updateCheckInterval(), 5400s);
    EXPECT_EQ(makeUpdater({}).updateCheckInterval(), 86400s);
    EXPECT_TRUE(updater->automaticallyChecksForUpdates());

    SPUUpdater& u = startedUpdater(feedWithUpdate(), {{"SUEnableAutomaticChecks", false}});
    time.advance(30 * 24h);
    EXPECT_EQ(driver->presentationCount(), 0u);
    u.setAutomaticallyChecksForUpdates(true);
    time.advance(24h);
    EXPECT_EQ(driver->updatesFound().size(), 1u);
}

TEST_F(UpdaterTest, ControllerUsesMainBundleAndForwardsMenuAction) {
    NSBundle::mainBundle().setInfoDictionary({{"SUFeedURL", writeFeed(feedWithUpdate())}, {"CFBundleVersion", "120"}});
    auto recording = std::make_shared<SPURecordingUserDriver>();
    SPUStandardUpdaterController controller(recording, true);
    EXPECT_EQ(controller.updater().feedURL(), NSBundle::mainBundle().stringForInfoDictionaryKey("SUFeedURL"));
    EXPECT_TRUE(controller.updater().canCheckForUpdates.value());
    controller.checkForUpdates();
    time.runUntilIdle();
    EXPECT_EQ(recording->updatesFound().size(), 1u);
    NSBundle::mainBundle().reload();
}

}  // namespace
}  // namespace velunto
