// The tray application's shell: the icon, auxiliary windows and what is saved at exit. Offscreen.

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QSystemTrayIcon>
#include <chrono>
#include <cstdlib>

#include "app/audio/AppState.h"
#include "app/settings/SettingsKey.h"
#include "app/ui/AppDelegate.h"
#include "app/ui/HostingWindowController.h"
#include "app/ui/MenuBarIcon.h"
#include "platform/appkit/NSApplication.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/SimulatedAudioHardware.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

class ShellTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        NSApplication::shared();
    }

    SimulatedDeviceDescription device(std::string name, std::string uid, UInt32 in, UInt32 out) {
        SimulatedDeviceDescription d;
        d.name = std::move(name);
        d.uid = std::move(uid);
        d.inputChannels = in;
        d.outputChannels = out;
        d.signal = SimulatedSignal::sineWave(440, 0.3);
        return d;
    }

    std::shared_ptr<AppState> launch() {
        hardware.plug(device("Eingebautes Mikrofon", "builtin.mic", 1, 0));
        auto feed = device("Velunto Mic (Einspeisung)", "app.velunto.mic.feed", 0, 2);
        feed.hidden = true;
        hardware.plug(feed);
        auto state = AppState::make(defaults);
        time.advance(1s);
        return state;
    }

    VirtualTime time;
    SimulatedAudioHardware hardware;
    std::shared_ptr<UserDefaults> defaults = UserDefaults::inMemory();
};

TEST_F(ShellTest, TheIconFollowsTheOverallStatus) {
    EXPECT_STREQ(MenuBarIcon::imageName(EngineStatus::stopped()), "MenuBarIconPaused");
    EXPECT_STREQ(MenuBarIcon::imageName(EngineStatus::starting()), "MenuBarIcon");
    EXPECT_STREQ(MenuBarIcon::imageName(EngineStatus::running()), "MenuBarIcon");
    EXPECT_STREQ(MenuBarIcon::imageName(EngineStatus::error("kaputt")), "MenuBarIconError");
    for (const char* name : {"MenuBarIcon", "MenuBarIconPaused", "MenuBarIconError"}) {
        const QIcon icon = MenuBarIcon::image(name);
        ASSERT_FALSE(icon.isNull()) << name;
        const QImage pixels = icon.pixmap(44, 44).toImage();
        EXPECT_EQ(pixels.pixelColor(18, 12).alpha(), 255) << name << ": the microphone is drawn";
        EXPECT_EQ(pixels.pixelColor(0, 43).alpha(), 0) << name << ": on a transparent ground";
    }
    EXPECT_TRUE(MenuBarIcon::image("Fehlt").isNull());

    auto state = launch();
    QSystemTrayIcon tray;
    MenuBarIcon icon(*state, tray);
    EXPECT_EQ(icon.currentImageName(), "MenuBarIcon");
    state->setRunning(false);
    time.advance(1s);
    EXPECT_EQ(icon.currentImageName(), "MenuBarIconPaused");
    state->setRunning(true);
    time.advance(1s);
    EXPECT_EQ(icon.currentImageName(), "MenuBarIcon");
    // An error of one engine shows even while the other runs.
    state->captureStatus.set(EngineStatus::error("Das Mikrofon ist weg."));
    time.runUntilIdle();
    EXPECT_EQ(icon.currentImageName(), "MenuBarIconError");
}

TEST_F(ShellTest, AnAuxiliaryWindowIsReusedAndKeptWhenClosed) {
    HostingWindowController controller(std::make_unique<QLabel>(QStringLiteral("Inhalt")), "Prioritätenliste");
    int closes = 0;
    controller.onClose = [&] { ++closes; };
    QWidget& window = controller.window();
    EXPECT_EQ(window.windowTitle().toStdString(), "Prioritätenliste");
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);

    controller.showWindow();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.minimumSize(), window.maximumSize()) << "not resizable";
    window.close();
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(window.isVisible());
    controller.showWindow();
    EXPECT_EQ(&controller.window(), &window);
    EXPECT_TRUE(controller.isWindowVisible());
    controller.close();  // as the application state closes it
    EXPECT_EQ(closes, 2);
    EXPECT_FALSE(controller.isWindowVisible());
}

TEST_F(ShellTest, QuittingWritesAPendingEqualiserChange) {
    auto state = launch();
    EQSettings edited = state->deviceEQ().settings.value();
    edited.bands[2].gain = 6;
    state->deviceEQ().setSettings(edited);
    ASSERT_FALSE(SettingsStore(defaults).loadEQSettingsByDevice().count("builtin.mic")) << "the save is still pending";

    AppDelegate withoutState;
    withoutState.applicationWillTerminate();  // quit before the menu-bar item appeared: nothing to save

    AppDelegate delegate;
    delegate.appState = state;
    delegate.applicationWillTerminate();
    const auto stored = SettingsStore(defaults).loadEQSettingsByDevice();
    ASSERT_EQ(stored.count("builtin.mic"), 1u);
    EXPECT_EQ(stored.at("builtin.mic").bands[2].gain, 6);
    time.advance(1s);  // the cancelled save does not run again
}

}  // namespace
