#pragma once

#include <memory>
#include <string>

#include "platform/combine/AnyCancellable.h"
#include "platform/combine/Published.h"
#include "platform/sparkle/SPUStandardUpdaterController.h"
#include "platform/sparkle/SPUStandardUserDriverDelegate.h"

namespace velunto {

// Software updates for the panel: whether a check can start, the user's check, and the version text.
// Main thread only.
class Updater : public SPUStandardUserDriverDelegate, public std::enable_shared_from_this<Updater> {
public:
    // The update framework's own window presents the outcome.
    static std::shared_ptr<Updater> make();
    // Another presentation (tests).
    static std::shared_ptr<Updater> make(std::shared_ptr<SPUUserDriver> userDriver);

    Published<bool> canCheckForUpdates{false};

    void checkForUpdates();
    bool supportsGentleScheduledUpdateReminders() override { return true; }

    // "Version " and the bundle's short version, or "Version ?".
    static std::string versionText();

    SPUStandardUpdaterController& controller() { return *controller_; }

private:
    Updater() = default;
    void mirrorCanCheck();

    std::unique_ptr<SPUStandardUpdaterController> controller_;
    AnyCancellable cancellable_;
};

}  // namespace velunto
