// The menu panel's model on simulated hardware, in virtual time.

#include <gtest/gtest.h>

#include <QUrl>
#include <QUrlQuery>
#include <chrono>

#include "app/audio/AppState.h"
#include "app/ui/MenuPanelModel.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/foundation/NSBundle.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedCameraHardware.h"
#include "platform/sim/SimulatedEffects.h"
#include "tests/support/SimulatedDevices.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> titles(const std::vector<PanelMenuItem>& menu) {
    std::vector<std::string> out;
    for (const auto& item : menu)
        out.push_back(item.kind == PanelMenuItem::Kind::divider ? "—" : (item.isSelected ? "✓ " : "") + item.title);
    return out;
}

const PanelMenuItem& item(const std::vector<PanelMenuItem>& menu, const std::string& title) {
    for (const auto& entry : menu)
        if (entry.title == title)
            return entry;
    throw std::runtime_error("no menu item " + title);
}

class MenuPanelModelTest : public ::testing::Test {
protected:
    MenuPanelModelTest() {
        registerSimulatedEffects();
        hardware.plug(simulatedDevice("Eingebautes Mikrofon", "builtin.mic", 1, 0));
        hardware.plug(simulatedDevice("USB-Mikrofon", "usb.mic", 1, 0));
        hardware.plug(simulatedDevice("Kopfhörer", "phones", 0, 2));
        hardware.plug(simulatedFeedDevice());
    }

    std::unique_ptr<MenuPanelModel> launch() {
        state = AppState::make(defaults);
        time.advance(1s);
        auto model = std::make_unique<MenuPanelModel>(state, nullptr, nullptr);
        model->onChange = [this] { ++changes; };
        return model;
    }

    void loadDelay() {
        for (const auto& entry : state->pluginHost().availablePlugins.value())
            if (entry.name == "Delay")
                state->pluginHost().selectPlugin(entry);
        time.advance(1s);
        ASSERT_NE(state->pluginHost().loadedUnit.value(), nullptr);
    }

    VirtualTime time;
    SimulatedAudioHardware hardware;
    SimulatedCameraHardware cameras;
    std::shared_ptr<UserDefaults> defaults = UserDefaults::inMemory();
    std::shared_ptr<AppState> state;
    int changes = 0;
};

TEST_F(MenuPanelModelTest, HeaderStatusLatencyAndPower) {
    auto model = launch();
    EXPECT_EQ(model->statusLine(), "Eingebautes Mikrofon → ohne Plugin");
    loadDelay();
    EXPECT_EQ(model->statusLine(), "Eingebautes Mikrofon → Delay");
    EXPECT_EQ(model->powerLabel(), "Pausieren");

    state->latencyMilliseconds.set(12.5);
    EXPECT_EQ(model->latencyMilliseconds(), 13);
    state->latencyMilliseconds.set(12.49);
    EXPECT_EQ(model->latencyMilliseconds(), 12);
    state->latencyMilliseconds.set(std::nullopt);
    EXPECT_EQ(model->latencyMilliseconds(), std::nullopt);

    model->togglePower();
    time.advance(100ms);
    EXPECT_EQ(model->statusLine(), "Pausiert");
    EXPECT_EQ(model->powerLabel(), "Starten");
    EXPECT_GT(changes, 0) << "the view hears about it";

    // Running without an input device and without a plug-in.
    state->pluginHost().selectPlugin(std::nullopt);
    ASSERT_TRUE(hardware.unplug("builtin.mic"));
    ASSERT_TRUE(hardware.unplug("usb.mic"));
    model->togglePower();
    time.advance(1s);
    state->captureStatus.set(EngineStatus::running());
    state->outputStatus.set(EngineStatus::running());
    EXPECT_EQ(model->statusLine(), "Kein Eingang → ohne Plugin");
    state->captureStatus.set(EngineStatus::starting());
    EXPECT_EQ(model->statusLine(), "Startet …");
    state->captureStatus.set(EngineStatus::error("Eingabe kaputt."));
    EXPECT_EQ(model->statusLine(), "Eingabe kaputt.");
}

TEST_F(MenuPanelModelTest, NoticesInTheirOrderAndTheExtensionNoticeGoneOnceActive) {
    auto model = launch();
    using State = CameraExtensionActivator::State;
    state->cameraExtension().state.set(State{State::Kind::needsApproval, {}});
    state->outputDeviceMissing.set(true);
    std::vector<std::string> texts;
    for (const auto& notice : model->notices())
        texts.push_back(notice.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"Velunto Mic fehlt. Bitte Velunto neu installieren.",
                                               "Kamera-Erweiterung in den Systemeinstellungen erlauben …"}));
    EXPECT_TRUE(model->notices().back().opensSettings);
    model->hidesNotices = true;
    EXPECT_TRUE(model->notices().empty());
    model->hidesNotices = false;

    state->cameraExtension().state.set(State{State::Kind::active, {}});
    state->outputDeviceMissing.set(false);
    EXPECT_TRUE(model->notices().empty());

    // A fixed microphone unplugged: the system default stands in.
    item(model->inputMenu(), "USB-Mikrofon").action();
    time.advance(500ms);
    ASSERT_TRUE(hardware.unplug("usb.mic"));
    time.advance(500ms);
    ASSERT_EQ(model->notices().size(), 1u);
    EXPECT_EQ(model->notices()[0].text, "Gewähltes Mikrofon nicht verbunden, nutze Systemstandard.");
    EXPECT_EQ(model->notices()[0].icon, "arrow.uturn.backward");
}

TEST_F(MenuPanelModelTest, TheInputMenuShowsAndChangesTheMode) {
    auto model = launch();
    EXPECT_EQ(model->inputValue(), "Eingebautes Mikrofon");
    EXPECT_EQ(titles(model->inputMenu()),
              (std::vector<std::string>{"✓ Systemstandard folgen (Eingebautes Mikrofon)", "—", "Eingebautes Mikrofon",
                                        "USB-Mikrofon", "—", "Nach Priorität", "Prioritätenliste bearbeiten …"}));

    item(model->inputMenu(), "USB-Mikrofon").action();
    time.advance(500ms);
    EXPECT_EQ(state->deviceManager().mode(), InputMode::fixed("usb.mic"));
    EXPECT_EQ(model->inputValue(), "USB-Mikrofon");
    EXPECT_EQ(titles(model->inputMenu())[0], "Systemstandard folgen") << "the name only while that mode is active";
    EXPECT_EQ(titles(model->inputMenu())[3], "✓ USB-Mikrofon");

    item(model->inputMenu(), "Nach Priorität").action();
    time.advance(500ms);
    EXPECT_EQ(model->inputValue(), "Eingebautes Mikrofon · Priorität") << "an empty list falls back to the default";
}

TEST_F(MenuPanelModelTest, PluginControlsAndTools) {
    auto model = launch();
    EXPECT_EQ(model->pluginValue(), "Kein Plugin");
    EXPECT_EQ(titles(model->pluginMenu()).front(), "✓ Kein Plugin");
    EXPECT_FALSE(model->arePluginToolsEnabled());
    int pluginWindows = 0;
    model->openPluginWindow = [&] { ++pluginWindows; };
    model->openPlugin();
    EXPECT_EQ(pluginWindows, 0) << "disabled: nothing opens";

    item(model->pluginMenu(), "Delay").action();
    time.advance(1s);
    EXPECT_EQ(model->pluginValue(), "Delay");
    EXPECT_TRUE(item(model->pluginMenu(), "Delay").isSelected);
    EXPECT_TRUE(model->arePluginToolsEnabled());
    model->openPlugin();
    EXPECT_EQ(pluginWindows, 1);
    model->setBypassed(true);
    time.advance(100ms);
    EXPECT_TRUE(model->isBypassed());
}

TEST_F(MenuPanelModelTest, EqualiserAndListenBackToggles) {
    auto model = launch();
    EXPECT_TRUE(model->isEQOn());
    EXPECT_TRUE(model->isEQToggleEnabled());
    model->setEQOn(false);
    EXPECT_FALSE(state->deviceEQ().settings.value().isEnabled);

    EXPECT_FALSE(model->isMonitoring());
    model->setMonitoring(true);
    time.advance(500ms);
    EXPECT_EQ(model->monitorDeviceValue(), "Kopfhörer");
    EXPECT_EQ(titles(model->monitorDeviceMenu()), (std::vector<std::string>{"✓ Kopfhörer"}));

    ASSERT_TRUE(hardware.unplug("builtin.mic"));
    ASSERT_TRUE(hardware.unplug("usb.mic"));
    time.advance(500ms);
    ASSERT_EQ(state->deviceManager().resolvedDeviceUID.value(), std::nullopt);
    EXPECT_FALSE(model->isEQToggleEnabled());
    const EQSettings before = state->deviceEQ().settings.value();
    model->setEQOn(!before.isEnabled);
    EXPECT_EQ(state->deviceEQ().settings.value(), before) << "no input: the switch does nothing";
}

TEST_F(MenuPanelModelTest, CameraMenuOffsetAndCaption) {
    auto model = launch();
    EXPECT_EQ(titles(model->cameraMenu()), (std::vector<std::string>{"Keine", "—", "✓ Automatisch (Built-in Camera)",
                                                                     "Built-in Camera", "USB Camera"}));
    EXPECT_EQ(model->cameraValue(), "Automatisch (Built-in Camera)");
    item(model->cameraMenu(), "USB Camera").action();
    EXPECT_EQ(model->cameraValue(), "USB Camera");
    item(model->cameraMenu(), "Keine").action();
    EXPECT_EQ(model->cameraValue(), "Keine");

    state->latencyMilliseconds.set(41.5);
    state->updateLatency();
    const auto latency = *state->latencyMilliseconds.value();
    model->setVideoOffsetMilliseconds(23);
    EXPECT_EQ(model->videoOffsetMilliseconds(), 20) << "in steps of 10 ms";
    EXPECT_EQ(model->videoDelayCaption(),
              "Bild " + std::to_string(std::llround(latency + 20)) + " ms verzögert · Kamera aus");
    model->setVideoOffsetMilliseconds(-5000);
    EXPECT_EQ(model->videoOffsetMilliseconds(), -500);
    EXPECT_EQ(model->videoDelayCaption(), "Bild 0 ms verzögert · Kamera aus") << "never below 0";
    state->cameraEngine().isAccessDenied.set(true);
    EXPECT_EQ(model->videoDelayCaption(), "Bild 0 ms verzögert · kein Kamerazugriff");
}

TEST_F(MenuPanelModelTest, TheFeedbackMailCarriesVersionsSystemAndPlugin) {
    auto model = launch();
    NSBundle::mainBundle().setInfoDictionary({{"CFBundleShortVersionString", "1.2"}, {"CFBundleVersion", "120"}});
    EXPECT_EQ(model->feedbackSubject(), "Velunto Feedback (1.2)");
    const std::string body = model->feedbackBody();
    EXPECT_EQ(body.rfind("\n\n––––\nVelunto 1.2 (120)\nmacOS Version ", 0), 0u) << body;
    EXPECT_NE(body.find(", Intel\nPlugin: keins"), std::string::npos) << body;

    loadDelay();
    NSBundle::mainBundle().setInfoDictionary({});
    EXPECT_EQ(model->feedbackSubject(), "Velunto Feedback (?)");
    EXPECT_NE(model->feedbackBody().find("Velunto ? (?)"), std::string::npos);
    const QUrl url(QString::fromStdString(model->feedbackURL()));
    EXPECT_EQ(url.scheme(), "mailto");
    EXPECT_EQ(url.path(), "feedback@velunto.app");
    const QUrlQuery query(url);
    EXPECT_EQ(query.queryItemValue("subject", QUrl::FullyDecoded).toStdString(), "Velunto Feedback (?)");
    EXPECT_EQ(query.queryItemValue("body", QUrl::FullyDecoded).toStdString(), model->feedbackBody())
        << "the body survives the trip through the URL, line breaks and dashes included";
    EXPECT_NE(model->feedbackBody().find("Plugin: Delay"), std::string::npos);
}

}  // namespace
