#pragma once

#include "platform/combine/Published.h"
#include "platform/dispatch/DispatchSourceTimer.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSError.h"
#include "platform/oslog/Logger.h"
#include "platform/sparkle/SPUAppcastLoader.h"
#include "platform/sparkle/SPUUpdaterDelegate.h"
#include "platform/sparkle/SPUUserDriver.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace velunto {

// Checks the application's update feed and hands the outcome to a user driver.
//
// Settings come from the host bundle's info dictionary: SUFeedURL (the delegate may replace it),
// SUEnableAutomaticChecks (boolean, default true) and SUScheduledCheckInterval (seconds, default
// 86400, at least 3600). Once started with automatic checks, a background check runs one interval
// after the start and after every completed check. The running version is CFBundleVersion (else
// CFBundleShortVersionString); the feed's newest item is compared with it by
// SUStandardVersionComparator.
//
// A user-initiated check shows every outcome. A scheduled check shows only a found update, and not
// even that if the user driver supports gentle reminders: then gentleReminder takes the update's
// display version (and a default-level log line says so) until a user-initiated check completes.
//
// Main queue only; the user driver and the delegate must outlive the updater.
class SPUUpdater {
public:
    static constexpr std::chrono::seconds defaultCheckInterval{86400};
    static constexpr std::chrono::seconds minimumCheckInterval{3600};

    SPUUpdater(const NSBundle& hostBundle, std::shared_ptr<SPUUserDriver> userDriver,
               SPUUpdaterDelegate* delegate = nullptr);
    ~SPUUpdater();
    SPUUpdater(const SPUUpdater&) = delete;
    SPUUpdater& operator=(const SPUUpdater&) = delete;

    // True once started and while no check is running.
    Published<bool> canCheckForUpdates{false};
    // The display version of an update found by a scheduled check under gentle reminders.
    Published<std::optional<std::string>> gentleReminder{std::nullopt};

    // Validates the feed URL and starts the schedule. False (with *error) if there is no usable
    // feed URL; then nothing can be checked. Starting twice is harmless.
    bool startUpdater(NSError* error = nullptr);
    bool started() const { return started_; }
    bool sessionInProgress() const { return checking_; }

    void checkForUpdates();              // user-initiated: the result is always shown
    void checkForUpdatesInBackground();  // scheduled: shown only when an update exists

    std::optional<std::string> feedURL() const;
    bool automaticallyChecksForUpdates() const { return automaticChecks_; }
    // Not persisted; arms or cancels the schedule of a started updater.
    void setAutomaticallyChecksForUpdates(bool enabled);
    std::chrono::seconds updateCheckInterval() const { return interval_; }

    // The running version compared with the feed, and the one shown to users.
    std::string hostVersion() const;
    std::string hostDisplayVersion() const;

private:
    void check(SPUUpdateCheck kind);
    void finish(SPUUpdateCheck kind, std::optional<std::string> body, std::optional<NSError> error);
    void present(SPUUpdateCheck kind, const std::optional<std::string>& body, const std::optional<NSError>& error);
    void presentError(SPUUpdateCheck kind, const NSError& error);
    void scheduleNextCheck();
    std::string applicationName() const;

    const NSBundle& hostBundle_;
    std::shared_ptr<SPUUserDriver> userDriver_;
    SPUUpdaterDelegate* delegate_;
    SPUAppcastLoader loader_;
    std::shared_ptr<DispatchSourceTimer> timer_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    Logger logger_;
    std::chrono::seconds interval_ = defaultCheckInterval;
    bool automaticChecks_ = true;
    bool started_ = false;
    bool checking_ = false;
};

}  // namespace velunto
