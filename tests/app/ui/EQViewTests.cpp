// The EQ window's widgets, offscreen, over the application state on simulated hardware in virtual time.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

#include "app/audio/AppState.h"
#include "app/processing/DeviceEQ.h"
#include "app/processing/SpectrumAnalyzer.h"
#include "app/ui/EQBandRowView.h"
#include "app/ui/EQCurveModel.h"
#include "app/ui/EQCurveView.h"
#include "app/ui/EQView.h"
#include "app/ui/SpectrumView.h"
#include "app/ui/Switch.h"
#include "platform/appkit/NSApplication.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "tests/support/SimulatedDevices.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

QPalette darkPalette() {
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(36, 36, 38));
    palette.setColor(QPalette::WindowText, QColor(235, 235, 240));
    palette.setColor(QPalette::Base, QColor(28, 28, 30));
    palette.setColor(QPalette::AlternateBase, QColor(44, 44, 46));
    palette.setColor(QPalette::Text, QColor(235, 235, 240));
    palette.setColor(QPalette::Button, QColor(58, 58, 60));
    palette.setColor(QPalette::ButtonText, QColor(235, 235, 240));
    palette.setColor(QPalette::Highlight, QColor(10, 132, 255));
    palette.setColor(QPalette::HighlightedText, QColor(255, 255, 255));
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, QColor(110, 110, 115));
    return palette;
}

class EQViewTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        NSApplication::shared();
    }

    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English)); }
    void TearDown() override {
        view.reset();
        QLocale::setDefault(savedLocale);
    }

    void launch(bool withMicrophone = true) {
        if (withMicrophone)
            hardware.plug(simulatedDevice("Eingebautes Mikrofon", "builtin.mic", 1, 0));
        hardware.plug(simulatedFeedDevice());
        state = AppState::make(UserDefaults::inMemory());
        time.advance(1s);
        view = std::make_unique<EQView>(*state);
        view->show();
        time.advance(100ms);
    }

    const EQSettings& settings() const { return state->deviceEQ().settings.value(); }
    EQBandRowView& row(std::size_t index) { return *view->rows().at(index); }

    QPoint handleCentre(std::size_t band) {
        const EQCurveView& curve = view->curveView();
        const EQHandle handle = EQCurveModel::handles(settings(), curve.width(), curve.height()).at(band);
        return QPointF(handle.centre.x, handle.centre.y).toPoint();
    }

    // One press, the moves and the release, as a user's drag over the curve area.
    void drag(QPoint from, std::initializer_list<QPoint> through) {
        QWidget* curve = &view->curveView();
        QTest::mousePress(curve, Qt::LeftButton, {}, from);
        for (QPoint point : through)
            QTest::mouseMove(curve, point);
        QTest::mouseRelease(curve, Qt::LeftButton, {}, *(through.end() - 1));
        time.advance(100ms);
    }

    void expectNothingClipped() {
        for (QLabel* label : view->findChildren<QLabel*>()) {
            if (!label->isVisibleTo(view.get()) || label->text().isEmpty())
                continue;
            EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->contentsRect().width() + 1)
                << label->text().toStdString();
        }
    }

    QImage render(QWidget& widget, qreal ratio = 1) {
        QImage image(widget.size() * ratio, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(widget.palette().color(QPalette::Window));
        widget.render(&image);
        return image;
    }

    VirtualTime time;
    SimulatedAudioHardware hardware;
    std::shared_ptr<AppState> state;
    std::unique_ptr<EQView> view;
    QLocale savedLocale;
};

TEST_F(EQViewTest, DraggingAHandleMovesItsEnabledBandUpToTheEdges) {
    launch();
    const QPoint start = handleCentre(2);  // the bell at 1 kHz
    drag(start, {start + QPoint(5, 0), QPoint(-40, -30)});
    EXPECT_EQ(settings().bands[2].frequency, 20);
    EXPECT_EQ(settings().bands[2].gain, 18);
    EXPECT_EQ(row(2).frequencyText().text(), "20 Hz");
    EXPECT_EQ(row(2).gainText().text(), "+18.0 dB");
    EXPECT_EQ(row(2).frequencySlider().value(), 0);
    EXPECT_EQ(row(2).gainSlider().value(), EQBandRowView::kSliderSteps);
    EXPECT_FALSE(view->curveModel().draggedBandIndex()) << "the release ends the drag";

    const QPoint moved = handleCentre(2) + QPoint(2, 2);  // QTest reads (0, 0) as the widget's centre
    ASSERT_EQ(handleCentre(2), QPoint(0, 0));
    drag(moved, {moved + QPoint(5, 5), QPoint(view->curveView().width() + 50, view->curveView().height() / 2)});
    EXPECT_EQ(settings().bands[2].frequency, 20000);
    EXPECT_EQ(settings().bands[2].gain, 0);
    EXPECT_EQ(row(2).frequencyText().text(), "20 kHz");

    // The low cut is off: its handle cannot be picked up, nor can a point far from every handle.
    const EQSettings before = settings();
    drag(handleCentre(0), {handleCentre(0) + QPoint(30, -60)});
    drag(QPoint(view->curveView().width() / 2, 8), {QPoint(20, 20)});
    EXPECT_EQ(settings(), before);
}

TEST_F(EQViewTest, HeaderSwitchAndResetActOnTheEqualiser) {
    launch();
    EXPECT_EQ(view->deviceLabel().text(), "Eingebautes Mikrofon");
    EXPECT_TRUE(view->enabledSwitch().isChecked());

    QTest::mouseClick(&view->enabledSwitch(), Qt::LeftButton);
    time.advance(100ms);
    EXPECT_FALSE(settings().isEnabled);
    EXPECT_FALSE(view->enabledSwitch().isChecked());

    // Edits through the table, by keyboard on the focused controls.
    QTest::keyClick(&row(1).gainSlider(), Qt::Key_Home);
    QTest::keyClick(&row(3).frequencySlider(), Qt::Key_End);
    QTest::mouseClick(&row(0).enabledSwitch(), Qt::LeftButton);
    time.advance(100ms);
    EXPECT_EQ(settings().bands[1].gain, -18);
    EXPECT_EQ(row(1).gainText().text(), "-18.0 dB");
    EXPECT_EQ(settings().bands[3].frequency, 20000);
    EXPECT_TRUE(settings().bands[0].isEnabled);
    EXPECT_TRUE(row(0).enabledSwitch().isChecked());

    QTest::mouseClick(&view->resetButton(), Qt::LeftButton);
    time.advance(100ms);
    EXPECT_EQ(settings(), defaultEQSettings());
    EXPECT_TRUE(view->enabledSwitch().isChecked());
    EXPECT_FALSE(row(0).enabledSwitch().isChecked());
    EXPECT_EQ(row(1).gainText().text(), "0.0 dB");
    EXPECT_EQ(row(1).gainSlider().value(), EQBandRowView::kSliderSteps / 2);
    EXPECT_EQ(row(3).frequencyText().text(), "3.5 kHz");
}

TEST_F(EQViewTest, AHighCutBandHasNoGainOrQAndItsHandleOnlyMovesSideways) {
    launch();
    EXPECT_TRUE(row(3).gainSlider().isEnabled());
    EXPECT_TRUE(row(3).qSlider().isEnabled());
    QTest::keyClick(&row(3).typePicker(), Qt::Key_End);  // the last type
    time.advance(100ms);
    ASSERT_EQ(settings().bands[3].type, EQBandType::highCut);
    EXPECT_EQ(row(3).typePicker().currentText(), "High-Cut");
    EXPECT_FALSE(row(3).gainSlider().isEnabled());
    EXPECT_FALSE(row(3).qSlider().isEnabled());
    EXPECT_TRUE(row(3).frequencySlider().isEnabled());

    // A shelf has a gain but no q.
    EXPECT_FALSE(row(4).qSlider().isEnabled());
    EXPECT_TRUE(row(4).gainSlider().isEnabled());

    const QPoint start = handleCentre(3);
    drag(start, {start + QPoint(0, -10), start + QPoint(-60, -80)});
    EXPECT_LT(settings().bands[3].frequency, 3500);
    EXPECT_EQ(settings().bands[3].gain, 0);
    EXPECT_EQ(handleCentre(3).y(), view->curveView().height() / 2) << "a cut band sits on the 0 dB line";
}

TEST_F(EQViewTest, SpectrumCountsNonNumbersAsSilenceAndWatchesOnlyWhileShown) {
    launch();
    SpectrumAnalyzer& analyzer = state->spectrumAnalyzer();
    SpectrumView& spectrum = view->spectrumView();
    EXPECT_TRUE(spectrum.isActive());
    EXPECT_TRUE(analyzer.isUpdating());

    SpectrumAnalyzer::Levels levels;
    levels.fill(SpectrumAnalyzer::kFloor);
    analyzer.levels.set(levels);
    const QImage silent = render(spectrum);
    for (std::size_t k = 0; k < levels.size(); ++k)
        levels[k] = k % 3 == 0 ? std::numeric_limits<float>::quiet_NaN() : -std::numeric_limits<float>::infinity();
    analyzer.levels.set(levels);
    EXPECT_EQ(render(spectrum), silent);

    levels.fill(-20);
    analyzer.levels.set(levels);
    EXPECT_NE(render(spectrum), silent) << "a loud voice shows";

    view->hide();
    EXPECT_FALSE(spectrum.isActive());
    EXPECT_FALSE(analyzer.isUpdating());
}

TEST_F(EQViewTest, RendersAt720WideInEveryLookWithoutClippingTexts) {
    hardware.plug(simulatedDevice(std::string(120, 'M'), "long.mic", 1, 0));
    ASSERT_TRUE(hardware.setDefaultInput("long.mic"));
    launch();
    EXPECT_EQ(view->deviceLabel().toolTip().toStdString(), std::string(120, 'M'));
    expectNothingClipped();

    QLocale::setDefault(QLocale(QLocale::German));
    QTest::keyClick(&row(1).gainSlider(), Qt::Key_Home);
    time.advance(100ms);
    EXPECT_EQ(row(1).gainText().text(), "-18,0 dB");
    expectNothingClipped();

    const QImage light = render(*view);
    EXPECT_EQ(light.width(), 720);
    EXPECT_GT(light.height(), 220 + 5 * EQBandRowView::kHeight);
    ASSERT_TRUE(light.save("/tmp/velunto-eq.png"));
    ASSERT_TRUE(render(*view, 2).save("/tmp/velunto-eq@2x.png"));

    const QPalette saved = QApplication::palette();
    QApplication::setPalette(darkPalette());
    EQView dark(*state);
    dark.show();
    time.advance(100ms);
    const QImage darkImage = render(dark);
    EXPECT_EQ(darkImage.width(), 720);
    ASSERT_TRUE(darkImage.save("/tmp/velunto-eq-dark.png"));
    QApplication::setPalette(saved);
}

TEST_F(EQViewTest, WithoutAnInputDeviceTheHeaderSaysSo) {
    launch(false);
    EXPECT_EQ(view->deviceLabel().text(), "Kein Eingangsgerät");
    expectNothingClipped();
}

}  // namespace
