#include "platform/sparkle/SPUStandardUpdaterController.h"

#include "platform/foundation/NSBundle.h"
#include "platform/sparkle/SPUStandardUserDriver.h"

namespace velunto {

SPUStandardUpdaterController::SPUStandardUpdaterController(
    bool startingUpdater, SPUUpdaterDelegate* updaterDelegate,
    std::weak_ptr<SPUStandardUserDriverDelegate> userDriverDelegate)
    : SPUStandardUpdaterController(std::make_shared<SPUStandardUserDriver>(std::move(userDriverDelegate)),
                                   startingUpdater, updaterDelegate) {}

SPUStandardUpdaterController::SPUStandardUpdaterController(std::shared_ptr<SPUUserDriver> userDriver,
                                                           bool startingUpdater, SPUUpdaterDelegate* updaterDelegate)
    : userDriver_(std::move(userDriver)),
      updater_(std::make_unique<SPUUpdater>(NSBundle::mainBundle(), userDriver_, updaterDelegate)) {
    if (startingUpdater)
        startUpdater();
}

void SPUStandardUpdaterController::startUpdater() {
    updater_->startUpdater();  // logs its own failure
}

}  // namespace velunto
