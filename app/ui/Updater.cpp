#include "app/ui/Updater.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/Weakly.h"
#include "platform/foundation/NSBundle.h"

namespace velunto {

std::shared_ptr<Updater> Updater::make() {
    std::shared_ptr<Updater> updater(new Updater());
    updater->controller_ = std::make_unique<SPUStandardUpdaterController>(true, nullptr, updater);
    updater->mirrorCanCheck();
    return updater;
}

std::shared_ptr<Updater> Updater::make(std::shared_ptr<SPUUserDriver> userDriver) {
    std::shared_ptr<Updater> updater(new Updater());
    updater->controller_ = std::make_unique<SPUStandardUpdaterController>(std::move(userDriver), true);
    updater->mirrorCanCheck();
    return updater;
}

void Updater::mirrorCanCheck() {
    cancellable_ = controller_->updater().canCheckForUpdates.sink(
        DispatchQueue::main(),
        weakly(shared_from_this(), [](Updater& self, const bool& can) { self.canCheckForUpdates.set(can); }));
}

void Updater::checkForUpdates() {
    controller_->checkForUpdates();
}

std::string Updater::versionText() {
    return "Version " + NSBundle::mainBundle().stringForInfoDictionaryKey("CFBundleShortVersionString").value_or("?");
}

}  // namespace velunto
