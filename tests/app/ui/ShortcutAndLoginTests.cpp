// The pause shortcut (building, recording, registering) and the login item.

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/audio/AppState.h"
#include "app/ui/LaunchAtLogin.h"
#include "app/ui/ShortcutRecorder.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/carbon/SimulatedHotKeys.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/oslog/LogCapture.h"
#include "platform/servicemanagement/SMAppService.h"
#include "platform/sim/SimulatedAudioHardware.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

constexpr std::uint64_t kShift = ShortcutRecorder::kShift, kControl = ShortcutRecorder::kControl,
                        kOption = ShortcutRecorder::kOption, kCommand = ShortcutRecorder::kCommand;

TEST(ShortcutFromKeyDown, NeedsControlOptionOrCommandAndNamesKeysInAFixedOrder) {
    EXPECT_FALSE(ShortcutRecorder::shortcutFromKeyDown(0x00, kShift, "a"));
    EXPECT_FALSE(ShortcutRecorder::shortcutFromKeyDown(0x00, 0, "a"));
    EXPECT_EQ(ShortcutRecorder::shortcutFromKeyDown(0x00, kControl | kShift, "a"), (KeyShortcut{0x00, 0x1200, "⌃⇧A"}));
    EXPECT_EQ(ShortcutRecorder::shortcutFromKeyDown(49, kCommand | kOption | kControl, " "),
              (KeyShortcut{49, 0x1900, "⌃⌥⌘Leertaste"}));
    EXPECT_EQ(ShortcutRecorder::shortcutFromKeyDown(122, kCommand, ""), (KeyShortcut{122, 0x0100, "⌘F1"}));
    EXPECT_EQ(ShortcutRecorder::shortcutFromKeyDown(0x27, kOption, "ä"), (KeyShortcut{0x27, 0x0800, "⌥Ä"}));
    EXPECT_EQ(ShortcutRecorder::shortcutFromKeyDown(0x0A, kControl, ""), (KeyShortcut{0x0A, 0x1000, "⌃?"}));
}

class RecorderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        NSApplication::shared();
    }
    void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QKeyEvent event(QEvent::KeyPress, key, modifiers);
        QApplication::sendEvent(&recorder, &event);
    }

    std::vector<std::optional<KeyShortcut>> changes;
    ShortcutRecorder recorder{KeyShortcut{0x23, 0x1800, "⌃⌥P"},
                              [this](const std::optional<KeyShortcut>& s) { changes.push_back(s); }};
};

TEST_F(RecorderTest, EscapeKeepsDeleteClearsAndAComboIsTaken) {
    EXPECT_EQ(recorder.text().toStdString(), "⌃⌥P");
    EXPECT_EQ(recorder.toolTip().toStdString(), "Klicken und Tastenkombination drücken. Esc bricht ab, ⌫ löscht.");
    recorder.click();
    EXPECT_EQ(recorder.text().toStdString(), "Taste drücken …");
    press(Qt::Key_Escape);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_EQ(recorder.text().toStdString(), "⌃⌥P");
    EXPECT_TRUE(changes.empty());

    recorder.click();
    press(Qt::Key_A, Qt::ShiftModifier);  // refused: still recording
    EXPECT_TRUE(recorder.isRecording());
    press(Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_FALSE(recorder.isRecording());
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0], (KeyShortcut{0x00, 0x1200, "⌃⇧A"}));
    EXPECT_EQ(recorder.text().toStdString(), "⌃⇧A");

    recorder.click();
    press(Qt::Key_Backspace);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[1], std::nullopt);
    EXPECT_EQ(recorder.text().toStdString(), "Festlegen");
}

class PauseShortcutTest : public ::testing::Test {
protected:
    std::shared_ptr<AppState> launch() {
        SimulatedDeviceDescription mic;
        mic.name = "Mikrofon";
        mic.uid = "mic";
        mic.inputChannels = 1;
        hardware.plug(mic);
        auto state = AppState::make(defaults);
        time.advance(1s);
        return state;
    }
    VirtualTime time;
    LogCapture logs;
    SimulatedHotKeys keys;
    SimulatedAudioHardware hardware;
    std::shared_ptr<UserDefaults> defaults = UserDefaults::inMemory();
};

TEST_F(PauseShortcutTest, ThePressTogglesAndEachChangeReregisters) {
    auto state = launch();
    const KeyShortcut shortcut{0x23, 0x1800, "⌃⌥P"};
    state->setPauseShortcut(shortcut);
    state->setPauseShortcut(shortcut);
    ASSERT_EQ(keys.registered().size(), 1u) << "no duplicate registration";
    EXPECT_EQ(keys.registered()[0].hotKeyID.signature, OSType{'VNTD'});
    EXPECT_EQ(SettingsStore(defaults).loadPauseShortcut(), shortcut);

    ASSERT_TRUE(state->isRunning.value());
    ASSERT_TRUE(keys.press(0x23, 0x1800));
    EXPECT_TRUE(state->isRunning.value()) << "delivered later, on the main queue";
    time.runUntilIdle();
    EXPECT_FALSE(state->isRunning.value());

    state->setPauseShortcut(std::nullopt);
    EXPECT_TRUE(keys.registered().empty());
    EXPECT_FALSE(SettingsStore(defaults).loadPauseShortcut());

    keys.holdElsewhere(0x23, 0x1800);
    state->setPauseShortcut(shortcut);
    EXPECT_FALSE(state->hotKey().isRegistered());
    EXPECT_TRUE(logs.contains("HotKey", "Tastenkürzel ⌃⌥P ist vermutlich schon belegt."));
    EXPECT_TRUE(logs.contains("DeviceManager", "RegisterEventHotKey(⌃⌥P) failed: OSStatus -9878"));
}

TEST_F(PauseShortcutTest, TheStoredShortcutIsRegisteredAtLaunch) {
    SettingsStore(defaults).savePauseShortcut(KeyShortcut{49, 0x1900, "⌃⌥⌘Leertaste"});
    auto state = launch();
    ASSERT_EQ(keys.registered().size(), 1u);
    EXPECT_EQ(keys.registered()[0].keyCode, 49u);
}

class LaunchAtLoginTest : public ::testing::Test {
protected:
    void SetUp() override {
        config = std::filesystem::temp_directory_path() / ("velunto-login-" + std::to_string(::getpid()));
        std::filesystem::remove_all(config);
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        SMAppService::mainAppService().setMainApplicationPath("/bin/true");
        NSWorkspace::sharedWorkspace().setOpener([this](const NSURL& url) {
            opened.push_back(url.absoluteString());
            return true;
        });
    }
    void TearDown() override {
        NSWorkspace::sharedWorkspace().setOpener(nullptr);
        std::filesystem::remove_all(config);
    }
    std::filesystem::path config;
    std::vector<std::string> opened;
    LogCapture logs;
};

TEST_F(LaunchAtLoginTest, EnableDisableAndApproval) {
    LaunchAtLogin login;
    EXPECT_FALSE(login.isEnabled.value());
    login.setEnabled(false);
    EXPECT_EQ(logs.entries("LaunchAtLogin").size(), 1u);
    EXPECT_EQ(logs.entries("LaunchAtLogin").at(0).message.rfind("Anmeldeobjekt entfernen fehlgeschlagen: ", 0), 0u);
    EXPECT_FALSE(login.isEnabled.value());
    EXPECT_FALSE(login.needsApproval.value());

    login.setEnabled(true);
    EXPECT_TRUE(login.isEnabled.value());
    EXPECT_TRUE(opened.empty());
    login.setEnabled(false);
    EXPECT_FALSE(login.isEnabled.value());

    // The user switched the entry off in the desktop's settings: registering needs approval.
    std::filesystem::create_directories(config / "autostart");
    std::ofstream(config / "autostart" / "velunto.desktop")
        << "[Desktop Entry]\nType=Application\nName=Velunto\nExec=/bin/true\nHidden=true\n";
    LaunchAtLogin again;
    EXPECT_TRUE(again.needsApproval.value());
    again.setEnabled(true);
    EXPECT_FALSE(again.isEnabled.value());
    EXPECT_TRUE(again.needsApproval.value());
    EXPECT_EQ(opened.size(), 1u) << "the login-item settings are opened";
}

}  // namespace
