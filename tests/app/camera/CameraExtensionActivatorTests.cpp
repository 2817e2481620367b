// Activation of the camera extension against scripted system answers, in virtual time.

#include "app/camera/CameraExtensionActivator.h"

#include <gtest/gtest.h>

#include "platform/appkit/NSWorkspace.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/oslog/LogCapture.h"
#include "platform/sim/SimulatedSystemExtensions.h"

namespace velunto {
namespace {

using Kind = CameraExtensionActivator::State::Kind;
using Outcome = SimulatedSystemExtensions::Outcome;
constexpr const char* kCategory = "CameraExtension";
constexpr const char* kIdentifier = "app.velunto.Velunto.Camera";

class CameraExtensionActivatorTest : public ::testing::Test {
protected:
    void activate() {
        activator->activate();
        EXPECT_EQ(activator->state.value().kind, Kind::activating);
        EXPECT_FALSE(activator->state.value().notice());
        time.runUntilIdle();
    }

    VirtualTime time;
    LogCapture logs;
    SimulatedSystemExtensions system;
    std::shared_ptr<CameraExtensionActivator> activator = CameraExtensionActivator::make();
};

TEST_F(CameraExtensionActivatorTest, FirstLaunchWaitsForApprovalThenIsActive) {
    Outcome outcome;
    outcome.kind = Outcome::Kind::needsApproval;
    system.script(kIdentifier, outcome);
    activate();
    EXPECT_EQ(system.submitted(), std::vector<std::string>{kIdentifier});
    EXPECT_EQ(activator->state.value().kind, Kind::needsApproval);
    EXPECT_EQ(activator->state.value().notice(), "Kamera-Erweiterung in den Systemeinstellungen erlauben …");
    EXPECT_TRUE(logs.contains(kCategory, "Kamera-Erweiterung wartet auf Freigabe in den Systemeinstellungen."));

    system.approve(kIdentifier);
    time.runUntilIdle();
    EXPECT_EQ(activator->state.value().kind, Kind::active);
    EXPECT_FALSE(activator->state.value().notice());
    EXPECT_TRUE(logs.contains(kCategory, "Kamera-Erweiterung aktiv."));
}

TEST_F(CameraExtensionActivatorTest, AnInstalledExtensionIsAlwaysReplaced) {
    Outcome outcome;
    outcome.installed = OSSystemExtensionProperties{kIdentifier, "7", "1.7"};
    system.script(kIdentifier, outcome);
    OSSystemExtensionManager::sharedManager().setExtensionLocation(kIdentifier, "/nonexistent", "9");
    activate();
    EXPECT_EQ(system.replacementAnswers(),
              std::vector<OSSystemExtensionReplacementAction>{OSSystemExtensionReplacementActionReplace});
    EXPECT_TRUE(logs.contains(kCategory, "Ersetze Kamera-Erweiterung 7 durch 9."));
    EXPECT_EQ(activator->state.value().kind, Kind::active);
}

TEST_F(CameraExtensionActivatorTest, RebootAndFailureAreShownNotLoggedAsActive) {
    Outcome reboot;
    reboot.kind = Outcome::Kind::willCompleteAfterReboot;
    system.script(kIdentifier, reboot);
    activate();
    EXPECT_EQ(activator->state.value().kind, Kind::needsReboot);
    EXPECT_EQ(activator->state.value().notice(), "Kamera-Erweiterung: Neustart nötig");
    EXPECT_FALSE(logs.contains(kCategory, "Kamera-Erweiterung aktiv."));

    Outcome failure;
    failure.kind = Outcome::Kind::failure;
    failure.failureMessage = "Die Berechtigung fehlt.";
    system.script(kIdentifier, failure);
    activator = CameraExtensionActivator::make();
    activate();
    EXPECT_EQ(activator->state.value(), CameraExtensionActivator::State::failed("Die Berechtigung fehlt."));
    EXPECT_EQ(activator->state.value().notice(), "Kamera-Erweiterung: Die Berechtigung fehlt.");
    EXPECT_TRUE(logs.contains(kCategory, "Kamera-Erweiterung nicht aktiviert: Die Berechtigung fehlt."));
}

TEST_F(CameraExtensionActivatorTest, OpensTheSettingsPage) {
    std::vector<std::string> opened;
    NSWorkspace::sharedWorkspace().setOpener([&](const NSURL& url) {
        opened.push_back(url.absoluteString());
        return true;
    });
    activator->openSettings();
    NSWorkspace::sharedWorkspace().setOpener(nullptr);
    EXPECT_EQ(opened, std::vector<std::string>{"x-apple.systempreferences:com.apple.LoginItems-Settings.extension"});
}

}  // namespace
}  // namespace velunto
