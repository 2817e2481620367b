// The priority list's and the latency meter's windows, offscreen, over the application state on
// simulated hardware in virtual time.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDropEvent>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/audio/AppState.h"
#include "app/ui/HostingWindowController.h"
#include "app/ui/LatencyMeterView.h"
#include "app/ui/PriorityListView.h"
#include "app/ui/StatusLineView.h"
#include "platform/appkit/NSApplication.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/oslog/LogCapture.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedDelayEffect.h"
#include "platform/sim/SimulatedEffects.h"
#include "tests/support/SimulatedDevices.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

SimulatedDeviceDescription microphone(std::string name, std::string uid) {
    return simulatedDevice(std::move(name), std::move(uid), 1, 0, SimulatedSignal::whiteNoise(0.3));
}

constexpr auto feedDevice = simulatedFeedDevice;

QPalette darkPalette() {
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(40, 40, 42));
    palette.setColor(QPalette::WindowText, QColor(232, 232, 232));
    palette.setColor(QPalette::Base, QColor(30, 30, 32));
    palette.setColor(QPalette::AlternateBase, QColor(44, 44, 47));
    palette.setColor(QPalette::Text, QColor(232, 232, 232));
    palette.setColor(QPalette::Button, QColor(58, 58, 61));
    palette.setColor(QPalette::ButtonText, QColor(232, 232, 232));
    palette.setColor(QPalette::Highlight, QColor(64, 128, 220));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::ToolTipBase, QColor(58, 58, 61));
    palette.setColor(QPalette::ToolTipText, QColor(232, 232, 232));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, QColor(120, 120, 120));
    return palette;
}

// The window as it looks at twice the pixel density, for a look at the icons and the text.
void saveAtDoubleDensity(QWidget& window, const std::string& name) {
    QPixmap picture(window.size() * 2);
    picture.setDevicePixelRatio(2);
    picture.fill(window.palette().color(QPalette::Window));
    window.render(&picture);
    ASSERT_TRUE(picture.save(QString::fromStdString((std::filesystem::temp_directory_path() / name).string())));
}

class ListViewTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        NSApplication::shared();
    }

    ListViewTest() { registerSimulatedEffects(); }
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::German)); }
    void TearDown() override {
        windows.clear();
        QLocale::setDefault(QLocale::c());
        QApplication::setPalette(QPalette());
    }

    void launch() {
        hardware.plug(feedDevice());
        state = AppState::make(defaults);
        time.advance(1s);
    }

    // The view inside its own window, as the application shows it.
    template <class View, class Model>
    View& open(std::shared_ptr<Model> model, const std::string& title) {
        auto view = std::make_unique<View>(std::move(model));
        View& shown = *view;
        windows.push_back(std::make_unique<HostingWindowController>(std::move(view), title));
        windows.back()->showWindow();
        settle();
        return shown;
    }

    // Lets the models hear of the changes and the layouts follow (a change of size travels up one
    // layout per round).
    void settle() {
        time.advance(200ms);
        for (int round = 0; round < 4; ++round)
            QApplication::processEvents();
    }

    // Every label shows its whole text: wrapped ones at their full height, the rest in their width
    // (elided ones carry the whole text in their tooltip).
    static void expectNothingClipped(QWidget& window) {
        for (QLabel* label : window.findChildren<QLabel*>()) {
            if (!label->isVisibleTo(&window) || label->text().isEmpty())
                continue;
            if (label->wordWrap())
                EXPECT_GE(label->height(), label->heightForWidth(label->width())) << label->text().toStdString();
            else
                EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->contentsRect().width() + 1)
                    << label->text().toStdString();
            EXPECT_TRUE(label->parentWidget()->rect().contains(label->geometry())) << label->text().toStdString();
        }
    }

    static void save(QWidget& window, const std::string& name) {
        const QPixmap picture = window.grab();
        const auto path = std::filesystem::temp_directory_path() / name;
        ASSERT_TRUE(picture.save(QString::fromStdString(path.string())));
        std::printf("%s (%d × %d)\n", path.c_str(), picture.width(), picture.height());
    }

    VirtualTime time;
    LogCapture logs;
    SimulatedAudioHardware hardware;
    std::shared_ptr<UserDefaults> defaults = UserDefaults::inMemory();
    SettingsStore store{defaults};
    std::shared_ptr<AppState> state;
    std::vector<std::unique_ptr<HostingWindowController>> windows;
};

// ---- Priority list

class PriorityListViewTest : public ListViewTest {
protected:
    PriorityListView& openList() {
        view = &open<PriorityListView>(std::make_shared<PriorityListModel>(state->deviceManager()), "Prioritätenliste");
        return *view;
    }
    QListWidget& list() { return *view->findChild<QListWidget*>(); }
    QWidget& row(int i) { return *list().itemWidget(list().item(i)); }
    // The stored names of the rows, top to bottom, as their labels' tooltips tell them.
    std::vector<std::string> names() {
        std::vector<std::string> out;
        for (int i = 0; i < list().count(); ++i)
            for (QLabel* label : row(i).findChildren<QLabel*>())
                if (!label->toolTip().isEmpty())
                    out.push_back(label->toolTip().toStdString());
        return out;
    }
    // The rows whose labels include "aktiv".
    std::vector<int> activeRows() {
        std::vector<int> out;
        for (int i = 0; i < list().count(); ++i)
            for (QLabel* label : row(i).findChildren<QLabel*>())
                if (label->text() == "aktiv")
                    out.push_back(i);
        return out;
    }
    QWidget* statusDot(int i) {
        for (QWidget* child : row(i).findChildren<QWidget*>())
            if (child->toolTip() == "Angeschlossen" || child->toolTip() == "Nicht angeschlossen")
                return child;
        return nullptr;
    }
    QToolButton* removeButton(int i) { return row(i).findChild<QToolButton*>(); }
    QPushButton* button(const QString& text) {
        for (QPushButton* candidate : view->findChildren<QPushButton*>())
            if (candidate->text() == text)
                return candidate;
        return nullptr;
    }
    // Drops the rows as a drag from this list would, onto the upper or lower edge of `target`.
    void drop(const QList<int>& rows, int target, bool below) {
        QModelIndexList indexes;
        for (int r : rows)
            indexes.push_back(list().model()->index(r, 0));
        std::unique_ptr<QMimeData> data(list().model()->mimeData(indexes));
        const QRect bounds = list().visualRect(list().model()->index(target, 0));
        const QPointF point(bounds.center().x(), below ? bounds.bottom() - 3 : bounds.top() + 3);
        QDragEnterEvent enter(point.toPoint(), Qt::MoveAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list().viewport(), &enter);
        ASSERT_TRUE(enter.isAccepted());
        QDropEvent event(point, Qt::MoveAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list().viewport(), &event);
        settle();
    }

    PriorityListView* view = nullptr;
};

TEST_F(PriorityListViewTest, DraggingReordersTheListAndTheActiveMarkFollows) {
    hardware.plug(microphone("Eingebautes Mikrofon", "builtin.mic"));
    hardware.plug(microphone("USB-Mikrofon", "usb.mic"));
    hardware.plug(microphone("Headset", "headset.mic"));
    store.saveDevicePriority({{"builtin.mic", "Intern"}, {"gone.mic", "Verliehen"}, {"headset.mic", "Headset"}});
    launch();
    openList();
    EXPECT_EQ(names(), (std::vector<std::string>{"Intern", "Verliehen", "Headset"}));
    EXPECT_TRUE(activeRows().empty()) << "no mark outside priority mode";
    EXPECT_EQ(statusDot(0)->toolTip(), "Angeschlossen");
    EXPECT_EQ(statusDot(1)->toolTip(), "Nicht angeschlossen");

    QPushButton* activate = button("„Nach Priorität“ aktivieren");
    ASSERT_NE(activate, nullptr);
    ASSERT_TRUE(activate->isVisible());
    QTest::mouseClick(activate, Qt::LeftButton);
    settle();
    EXPECT_EQ(store.loadInputMode(), InputMode::priority());
    EXPECT_FALSE(activate->isVisible()) << "hidden in priority mode";
    EXPECT_EQ(activeRows(), (std::vector<int>{0}));

    // The headset dropped on the top edge of the first row goes first and becomes the input.
    drop({2}, 0, false);
    EXPECT_EQ(names(), (std::vector<std::string>{"Headset", "Intern", "Verliehen"}));
    EXPECT_EQ(state->deviceManager().resolvedDeviceUID.value(), "headset.mic");
    EXPECT_EQ(activeRows(), (std::vector<int>{0}));
    EXPECT_EQ(store.loadDevicePriority().front().uid, "headset.mic");

    // Two rows dragged as a block onto the lower edge of the last row go to the end, in their order.
    drop({0, 1}, 2, true);
    EXPECT_EQ(names(), (std::vector<std::string>{"Verliehen", "Headset", "Intern"}));
    EXPECT_EQ(activeRows(), (std::vector<int>{1})) << "the unplugged entry is skipped";

    // A drag from elsewhere changes nothing.
    QMimeData foreign;
    foreign.setText("Headset");
    QDragEnterEvent enter(QPoint(10, 5), Qt::MoveAction, &foreign, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list().viewport(), &enter);
    EXPECT_FALSE(enter.isAccepted());
    QDropEvent event(QPointF(10, 5), Qt::MoveAction, &foreign, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list().viewport(), &event);
    settle();
    EXPECT_EQ(names(), (std::vector<std::string>{"Verliehen", "Headset", "Intern"}));

    // Plugging the lent device in turns its dot green without any action.
    hardware.plug(microphone("Verliehenes Mikro", "gone.mic"));
    time.advance(1s);
    settle();
    EXPECT_EQ(statusDot(0)->toolTip(), "Angeschlossen");
    EXPECT_EQ(activeRows(), (std::vector<int>{0}));
}

TEST_F(PriorityListViewTest, TheBarAddsAndTheRowsRemove) {
    hardware.plug(microphone("Eingebautes Mikrofon", "builtin.mic"));
    hardware.plug(microphone("USB-Mikrofon", "usb.mic"));
    hardware.plug(microphone("Headset", "headset.mic"));
    store.saveDevicePriority({{"usb.mic", "USB-Mikrofon"}});
    launch();
    openList();

    QPushButton* add = button("Gerät hinzufügen");
    ASSERT_NE(add, nullptr);
    ASSERT_NE(add->menu(), nullptr);
    std::vector<std::string> offered;
    for (QAction* action : add->menu()->actions())
        offered.push_back(action->text().toStdString());
    EXPECT_EQ(offered, (std::vector<std::string>{"Eingebautes Mikrofon", "Headset"})) << "catalogue order, not listed";
    EXPECT_TRUE(add->isEnabled());
    add->menu()->actions().at(1)->trigger();
    settle();
    EXPECT_EQ(names(), (std::vector<std::string>{"USB-Mikrofon", "Headset"}));
    ASSERT_EQ(add->menu()->actions().size(), 1);
    add->menu()->actions().front()->trigger();
    settle();
    EXPECT_EQ(names(), (std::vector<std::string>{"USB-Mikrofon", "Headset", "Eingebautes Mikrofon"}));
    EXPECT_FALSE(add->isEnabled()) << "every device is listed";

    ASSERT_NE(removeButton(1), nullptr);
    EXPECT_EQ(removeButton(1)->toolTip(), "Aus der Liste entfernen");
    QTest::mouseClick(removeButton(1), Qt::LeftButton);
    settle();
    EXPECT_EQ(names(), (std::vector<std::string>{"USB-Mikrofon", "Eingebautes Mikrofon"}));
    EXPECT_EQ(store.loadDevicePriority().size(), 2u);
    EXPECT_TRUE(add->isEnabled());

    QTest::mouseClick(removeButton(0), Qt::LeftButton);
    settle();
    QTest::mouseClick(removeButton(0), Qt::LeftButton);
    settle();
    EXPECT_EQ(list().count(), 0);
    EXPECT_FALSE(list().isVisible());
    bool emptyShown = false;
    for (QLabel* label : view->findChildren<QLabel*>())
        emptyShown |= label->isVisible() && label->text() == "Noch keine Geräte in der Liste.";
    EXPECT_TRUE(emptyShown);
    EXPECT_FALSE(button("„Nach Priorität“ aktivieren")->isEnabled()) << "nothing to activate";
    expectNothingClipped(windows.back()->window());
}

TEST_F(PriorityListViewTest, LongNamesAndLongListsFitTheWindow) {
    hardware.plug(microphone("Eingebautes Mikrofon", "builtin.mic"));
    const std::string longName(200, 'M');
    std::vector<DevicePriorityEntry> entries{{"builtin.mic", "Eingebautes Mikrofon"}, {"long.mic", longName}};
    for (int i = 1; i <= 48; ++i)
        entries.push_back({"mic." + std::to_string(i), "Mikrofon " + std::to_string(i)});
    store.saveDevicePriority(entries);
    store.saveInputMode(InputMode::priority());
    launch();
    openList();
    QWidget& window = windows.back()->window();
    EXPECT_EQ(window.width(), 420);
    EXPECT_EQ(list().count(), 50);
    EXPECT_EQ(names()[1], longName) << "the whole name in the tooltip";
    expectNothingClipped(window);
    list().scrollToBottom();
    QApplication::processEvents();
    EXPECT_EQ(names().back(), "Mikrofon 48");
    for (QLabel* label : row(49).findChildren<QLabel*>()) {
        if (label->text().endsWith('.')) {
            EXPECT_EQ(label->text(), "50.");
        }
    }
    expectNothingClipped(row(49));
    list().scrollToTop();
    QApplication::processEvents();
    save(window, "velunto-priority.png");
    saveAtDoubleDensity(window, "velunto-priority@2x.png");

    // The same in a dark palette.
    windows.clear();
    QApplication::setPalette(darkPalette());
    openList();
    saveAtDoubleDensity(windows.back()->window(), "velunto-priority-dark@2x.png");
}

// ---- Latency meter

class LatencyMeterViewTest : public ListViewTest {
protected:
    LatencyMeterView& openMeter() {
        view = &open<LatencyMeterView>(std::make_shared<LatencyMeterModel>(*state), "Latenz messen");
        return *view;
    }
    // Loads the built-in delay: 10 ms long, reporting half of it.
    void loadDelay() {
        PluginHost& host = state->pluginHost();
        for (const auto& plugin : host.availablePlugins.value())
            if (plugin.componentDescription.componentSubType == kSimulatedDelaySubType)
                host.selectPlugin(plugin);
        time.advance(1s);
        auto unit = host.loadedUnit.value();
        ASSERT_TRUE(unit);
        unit->unit().setParameterValue(SimulatedDelayEffect::kDelayFrames, 960);
        unit->unit().setParameterValue(SimulatedDelayEffect::kLatencyReporting, SimulatedDelayEffect::kReportHalfDelay);
        settle();
    }
    QString valueOf(const QString& label) {
        const auto labels = view->findChildren<QLabel*>();
        for (QLabel* candidate : labels)
            if (candidate->text() == label) {
                // The value sits right of its label, on the same line.
                for (QLabel* value : labels)
                    if (value != candidate && value->y() == candidate->y() && value->x() > candidate->x())
                        return value->text();
            }
        return {};
    }
    QPushButton* button(const QString& text) {
        for (QPushButton* candidate : view->findChildren<QPushButton*>())
            if (candidate->text() == text)
                return candidate;
        return nullptr;
    }
    // Our widgets carry no meta-object of their own, so they are told apart by their C++ type.
    std::vector<StatusLineView*> statusLines() {
        std::vector<StatusLineView*> found;
        for (QWidget* widget : view->findChildren<QWidget*>())
            if (auto* line = dynamic_cast<StatusLineView*>(widget))
                found.push_back(line);
        return found;
    }
    // The visible status lines' texts, top to bottom.
    std::vector<std::string> lines() {
        std::vector<std::string> out;
        for (StatusLineView* line : statusLines())
            if (line->isVisible())
                out.push_back(line->label().text().toStdString());
        return out;
    }
    QLabel* titleLabel() { return view->findChildren<QLabel*>().front(); }

    LatencyMeterView* view = nullptr;
};

TEST_F(LatencyMeterViewTest, WithoutAPluginNothingCanBeMeasured) {
    hardware.plug(microphone("Mikrofon", "voice.mic"));
    launch();
    openMeter();
    EXPECT_EQ(titleLabel()->text(), "Kein Plugin");
    EXPECT_EQ(valueOf("Vom Plugin gemeldet"), "–");
    EXPECT_EQ(valueOf("Verwendet"), "0,0 ms");
    EXPECT_FALSE(button("Messung starten")->isEnabled());
    EXPECT_FALSE(button("Messung verwerfen")->isEnabled());
    EXPECT_TRUE(lines().empty());
    QTest::keyClick(view, Qt::Key_Return);
    settle();
    EXPECT_EQ(state->latencyMeter().state.value(), LatencyMeter::State::idle());

    // Analysing shows the busy indicator, which stops once the line goes.
    state->latencyMeter().state.set(LatencyMeter::State::analyzing());
    settle();
    EXPECT_EQ(lines(), (std::vector<std::string>{"Berechne …"}));
    auto* status = statusLines().front();
    EXPECT_TRUE(status->isSpinning());
    state->latencyMeter().state.set(LatencyMeter::State::idle());
    settle();
    EXPECT_TRUE(lines().empty());
    EXPECT_FALSE(status->isSpinning());
    expectNothingClipped(windows.back()->window());
}

TEST_F(LatencyMeterViewTest, ReturnMeasuresTheDelayAndTheWindowFollows) {
    hardware.plug(microphone("Mikrofon", "voice.mic"));
    launch();
    loadDelay();
    openMeter();
    QWidget& window = windows.back()->window();
    EXPECT_EQ(window.width(), 420);
    EXPECT_EQ(titleLabel()->text(), "Velunto Sim: Delay");
    EXPECT_EQ(valueOf("Vom Plugin gemeldet"), "10,0 ms");
    EXPECT_EQ(valueOf("Gemessen, aktiv"), "–");
    EXPECT_TRUE(button("Messung starten")->isEnabled());
    EXPECT_FALSE(button("Messung verwerfen")->isEnabled());
    EXPECT_TRUE(button("Messung starten")->isDefault());
    const int idleHeight = window.height();

    QTest::keyClick(view, Qt::Key_Return);
    settle();
    EXPECT_EQ(lines(), (std::vector<std::string>{"Aufnahme läuft – bitte sprechen …"}));
    EXPECT_FALSE(button("Messung starten")->isEnabled());
    EXPECT_EQ(statusLines().front()->line()->color, TextColorRole::red);

    time.advance(6s);
    settle();
    ASSERT_EQ(state->latencyMeter().state.value().kind(), LatencyMeter::State::Kind::done);
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_TRUE(lines()[0].starts_with("Gemessen, Übereinstimmung ")) << lines()[0];
    EXPECT_EQ(valueOf("Gemessen, aktiv"), "20,0 ms");
    EXPECT_EQ(valueOf("Blockgröße live / Messung"), "512 / 512");
    EXPECT_EQ(valueOf("Verwendet"), "20,0 ms");
    EXPECT_TRUE(button("Messung starten")->isEnabled());
    EXPECT_TRUE(button("Messung verwerfen")->isEnabled());
    EXPECT_GT(window.height(), idleHeight) << "the window grows to show the status line";
    expectNothingClipped(window);
    save(window, "velunto-latency.png");
    saveAtDoubleDensity(window, "velunto-latency@2x.png");

    // Discarding forgets the measurement but keeps the line.
    QTest::mouseClick(button("Messung verwerfen"), Qt::LeftButton);
    settle();
    EXPECT_EQ(valueOf("Gemessen, aktiv"), "–");
    EXPECT_EQ(valueOf("Verwendet"), "10,0 ms");
    EXPECT_TRUE(SettingsStore(defaults).loadPluginLatencyMeasurements().empty());
    EXPECT_EQ(lines().size(), 1u);
    EXPECT_FALSE(button("Messung verwerfen")->isEnabled());
}

TEST_F(LatencyMeterViewTest, AStaleMeasurementWarnsAndEverythingFits) {
    hardware.plug(microphone("Mikrofon", "voice.mic"));
    launch();
    loadDelay();
    const auto key = LatencyMeter::measurementKey(state->pluginHost().loadedUnit.value()->audioComponentDescription());
    const PluginLatencyMeasurement stale{0.5, 0.5, 0.005, 256, 0.875, Date::now()};
    state->setMeasurement(key, stale);
    state->latencyMeter().state.set(LatencyMeter::State::done(stale));
    QApplication::setPalette(darkPalette());
    openMeter();
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "Gemessen, Übereinstimmung 88 %. Wird für Latenzanzeige und Video-Verzögerung verwendet.",
                           "Die Blockgröße hat sich seit der Messung geändert (anderes Eingangsgerät?). Verwendet "
                           "wird die Selbstauskunft – bitte neu messen."}));
    EXPECT_EQ(valueOf("Verwendet"), "10,0 ms");
    EXPECT_TRUE(button("Messung verwerfen")->isEnabled());
    QWidget& window = windows.back()->window();
    expectNothingClipped(window);
    saveAtDoubleDensity(window, "velunto-latency-dark@2x.png");
}

}  // namespace
