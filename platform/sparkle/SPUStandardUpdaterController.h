#pragma once

#include "platform/sparkle/SPUStandardUserDriverDelegate.h"
#include "platform/sparkle/SPUUpdater.h"
#include "platform/sparkle/SPUUpdaterDelegate.h"
#include "platform/sparkle/SPUUserDriver.h"

#include <memory>

namespace velunto {

// The usual setup: an updater for the main bundle with the standard (Qt window) user driver.
// Main queue only.
class SPUStandardUpdaterController {
public:
    SPUStandardUpdaterController(bool startingUpdater, SPUUpdaterDelegate* updaterDelegate,
                                 std::weak_ptr<SPUStandardUserDriverDelegate> userDriverDelegate);
    // The same with another presentation (tests, headless runs).
    SPUStandardUpdaterController(std::shared_ptr<SPUUserDriver> userDriver, bool startingUpdater,
                                 SPUUpdaterDelegate* updaterDelegate = nullptr);

    SPUUpdater& updater() { return *updater_; }
    SPUUserDriver& userDriver() { return *userDriver_; }

    // Starts the updater if it was not started on construction; failures are logged.
    void startUpdater();
    // The menu action.
    void checkForUpdates() { updater_->checkForUpdates(); }

private:
    std::shared_ptr<SPUUserDriver> userDriver_;
    std::unique_ptr<SPUUpdater> updater_;
};

}  // namespace velunto
