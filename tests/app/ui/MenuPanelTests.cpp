// The menu panel's widgets, offscreen, over the application state on simulated hardware in virtual time.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QSlider>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "app/audio/AppState.h"
#include "app/settings/SettingsKey.h"
#include "app/ui/MenuPanel.h"
#include "app/ui/MenuPanelModel.h"
#include "app/ui/NoPluginUIHint.h"
#include "app/ui/Notice.h"
#include "app/ui/PickerRow.h"
#include "app/ui/PluginWindowController.h"
#include "app/ui/PowerButton.h"
#include "app/ui/Switch.h"
#include "app/ui/ToggleRow.h"
#include "app/ui/ToolButton.h"
#include "platform/appkit/NSApplication.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedCameraHardware.h"
#include "platform/sim/SimulatedEffects.h"
#include "tests/support/SimulatedDevices.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

class MenuPanelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        NSApplication::shared();
    }

    MenuPanelTest() {
        registerSimulatedEffects();
        hardware.plug(simulatedDevice("Eingebautes Mikrofon", "builtin.mic", 1, 0));
        hardware.plug(simulatedDevice("Kopfhörer", "phones", 0, 2));
    }

    void launch(bool withFeed = true) {
        if (withFeed) {
            hardware.plug(simulatedFeedDevice());
        }
        state = AppState::make(defaults);
        time.advance(1s);
        panel = std::make_unique<MenuPanel>(std::make_shared<MenuPanelModel>(state, nullptr, nullptr));
        panel->show();
        time.advance(100ms);
    }

    // Our widgets carry no meta-object of their own, so they are told apart by their C++ type.
    template <class T>
    std::vector<T*> all() {
        std::vector<T*> found;
        for (QWidget* widget : panel->findChildren<QWidget*>())
            if (auto* typed = dynamic_cast<T*>(widget))
                found.push_back(typed);
        return found;
    }
    template <class T>
    T* find(const QString& accessibleName) {
        for (T* widget : all<T>())
            if (widget->accessibleName() == accessibleName)
                return widget;
        return nullptr;
    }

    // Every label shows its whole text (elided ones say so in their tooltip).
    void expectNothingClipped() {
        for (QLabel* label : panel->findChildren<QLabel*>()) {
            if (!label->isVisibleTo(panel.get()) || label->text().isEmpty() || label->wordWrap())
                continue;
            EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->contentsRect().width() + 1)
                << label->text().toStdString();
        }
    }

    VirtualTime time;
    SimulatedAudioHardware hardware;
    SimulatedCameraHardware cameras;
    std::shared_ptr<UserDefaults> defaults = UserDefaults::inMemory();
    std::shared_ptr<AppState> state;
    std::unique_ptr<MenuPanel> panel;
};

TEST_F(MenuPanelTest, ShowsTheStateAndItsControlsChangeIt) {
    launch();
    EXPECT_EQ(panel->width(), 340);
    EXPECT_TRUE(find<PowerButton>("Pausieren"));
    expectNothingClipped();

    // The power button pauses; the panel follows.
    QTest::mouseClick(find<PowerButton>("Pausieren"), Qt::LeftButton);
    time.advance(200ms);
    EXPECT_FALSE(state->isRunning.value());
    EXPECT_TRUE(find<PowerButton>("Starten"));

    // The EQ switch turns the equaliser of the microphone off.
    Switch* eq = find<Switch>("EQ");
    ASSERT_NE(eq, nullptr);
    EXPECT_TRUE(eq->isChecked());
    QTest::mouseClick(eq, Qt::LeftButton);
    time.advance(100ms);
    EXPECT_FALSE(state->deviceEQ().settings.value().isEnabled);
    EXPECT_FALSE(eq->isChecked());

    // Listen-back shows its device row only while on.
    PickerRow* monitorRow = find<PickerRow>("Vorhören über");
    ASSERT_NE(monitorRow, nullptr);
    EXPECT_FALSE(monitorRow->isVisible());
    QTest::mouseClick(find<Switch>("Vorhören"), Qt::LeftButton);
    time.advance(500ms);
    EXPECT_TRUE(monitorRow->isVisible());
    EXPECT_EQ(monitorRow->value(), "Kopfhörer");

    // The plug-in picker's menu loads the delay; the tools that need a plug-in come alive.
    std::unique_ptr<QMenu> menu(find<PickerRow>("Plugin")->makeMenu(nullptr));
    QAction* delay = nullptr;
    for (QAction* action : menu->actions())
        if (action->text() == "Delay")
            delay = action;
    ASSERT_NE(delay, nullptr);
    EXPECT_FALSE(delay->isChecked());
    EXPECT_EQ(menu->actions().front()->text(), "Kein Plugin");
    EXPECT_TRUE(menu->actions().front()->isChecked());
    delay->trigger();
    time.advance(1s);
    EXPECT_EQ(find<PickerRow>("Plugin")->value(), "Delay");
    ASSERT_EQ(all<ToolButton>().size(), 3u);
    for (ToolButton* tool : all<ToolButton>())
        EXPECT_TRUE(tool->isEnabled()) << tool->text().toStdString();
}

TEST_F(MenuPanelTest, NoticesAppearAndGoWithTheirConditions) {
    launch(false);
    auto notices = all<Notice>();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0]->text().toStdString(), "Velunto Mic fehlt. Bitte Velunto neu installieren.");
    EXPECT_GE(notices[0]->height(), notices[0]->heightForWidth(notices[0]->width())) << "the text wraps, not clips";

    hardware.plug(simulatedFeedDevice());
    state->outputDeviceMissing.set(false);
    time.advance(100ms);
    QApplication::processEvents();
    EXPECT_TRUE(all<Notice>().empty());
}

TEST_F(MenuPanelTest, RendersLongNamesWithoutOverlapAndSavesAPicture) {
    hardware.plug(simulatedDevice(std::string(200, 'M'), "long.mic", 1, 0));
    hardware.plug(simulatedDevice("ميكروفون خارجي", "rtl.mic", 1, 0));
    hardware.plug(simulatedDevice("Bass & <b>Höhen</b>", "markup.mic", 1, 0));
    ASSERT_TRUE(hardware.setDefaultInput("long.mic"));
    launch();
    expectNothingClipped();
    PickerRow* input = find<PickerRow>("Eingang");
    EXPECT_EQ(input->value().toStdString(), std::string(200, 'M')) << "the whole name stays in the tooltip";
    std::unique_ptr<QMenu> menu(input->makeMenu(nullptr));
    bool markupShownLiterally = false;
    for (QAction* action : menu->actions())
        markupShownLiterally |= action->iconText() == "Bass & <b>Höhen</b>";
    EXPECT_TRUE(markupShownLiterally) << "no mnemonic, no rich text";

    const QPixmap picture = panel->grab();
    EXPECT_EQ(picture.width(), 340);
    EXPECT_GT(picture.height(), 400);
    const auto path = std::filesystem::temp_directory_path() / "velunto-panel-test.png";
    ASSERT_TRUE(picture.save(QString::fromStdString(path.string())));
    std::printf("panel: %s (%d × %d)\n", path.c_str(), picture.width(), picture.height());

    // Dark, at twice the pixels: drawn for that palette and ratio, not scaled.
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(40, 40, 44));
    dark.setColor(QPalette::WindowText, QColor(235, 235, 240));
    dark.setColor(QPalette::Base, QColor(30, 30, 34));
    dark.setColor(QPalette::Text, QColor(235, 235, 240));
    dark.setColor(QPalette::Button, QColor(55, 55, 60));
    dark.setColor(QPalette::ButtonText, QColor(235, 235, 240));
    dark.setColor(QPalette::Highlight, QColor(10, 132, 255));
    MenuPanel darkPanel(std::make_shared<MenuPanelModel>(state, nullptr, nullptr));
    darkPanel.setPalette(dark);
    darkPanel.show();
    time.advance(100ms);
    QImage twice(darkPanel.size() * 2, QImage::Format_ARGB32_Premultiplied);
    twice.setDevicePixelRatio(2);
    twice.fill(dark.color(QPalette::Window));
    darkPanel.render(&twice);
    EXPECT_EQ(twice.width(), 680);
    ASSERT_TRUE(twice.save("/tmp/velunto-panel-dark@2x.png"));
}

// A plug-in without an editor: its window says so, is titled after it, and closing it stores its state.
TEST_F(MenuPanelTest, ThePluginWindowShowsTheHintAndStoresTheStateWhenClosed) {
    launch();
    for (const auto& entry : state->pluginHost().availablePlugins.value())
        if (entry.name == "Delay")
            state->pluginHost().selectPlugin(entry);
    time.advance(1s);
    ASSERT_NE(state->pluginHost().loadedUnit.value(), nullptr);
    defaults->removeObject(rawValue(SettingsKey::pluginState));

    PluginWindowController controller(state->pluginHost());
    controller.showPluginUI(state->pluginHost().loadedUnit.value());
    QWidget& window = controller.window();
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.windowTitle(), "Delay");
    EXPECT_EQ(window.size(), QSize(480, 320));
    auto* hint = window.findChild<QLabel*>();
    ASSERT_NE(hint, nullptr);
    EXPECT_EQ(hint->text().toStdString(), NoPluginUIHint::kText);
    window.close();
    EXPECT_TRUE(defaults->data(rawValue(SettingsKey::pluginState)).has_value());
    controller.showPluginUI(state->pluginHost().loadedUnit.value());
    EXPECT_EQ(window.findChildren<QLabel*>().size(), 1) << "the content is replaced, not stacked";
}

}  // namespace
