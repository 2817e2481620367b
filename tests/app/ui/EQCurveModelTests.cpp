#include <gtest/gtest.h>

#include <QLocale>
#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>
#include <vector>

#include "app/processing/DeviceEQ.h"
#include "app/ui/EQCurveModel.h"
#include "app/ui/EQEditorModel.h"
#include "tests/app/ui/EQModelFixture.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace velunto {
void PrintTo(const EQPoint& p, std::ostream* os) {
    *os << "(" << p.x << ", " << p.y << ")";
}
}  // namespace velunto

namespace {

constexpr double kW = 720;
constexpr double kH = 220;
const double kHalfPower = 10 * std::log10(0.5);  // -3.01 dB

EQBand band(EQBandType type, double frequency, double gain = 0, double q = 1, bool enabled = true) {
    return EQBand{enabled, type, frequency, gain, q};
}

EQSettings settingsWith(std::vector<EQBand> bands, bool enabled = true) {
    return EQSettings{enabled, std::move(bands)};
}

std::vector<std::string> labels(const std::vector<EQGridLine>& lines) {
    std::vector<std::string> out;
    for (const auto& line : lines)
        out.push_back(line.label);
    return out;
}

void expectPoints(const std::vector<EQPoint>& actual, const std::vector<EQPoint>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_NEAR(actual[i].x, expected[i].x, 1e-9) << "point " << i;
        EXPECT_NEAR(actual[i].y, expected[i].y, 1e-9) << "point " << i;
    }
}

// Index of the highest point (smallest y) of a shape or curve.
std::size_t highest(const std::vector<EQPoint>& points) {
    return static_cast<std::size_t>(std::ranges::min_element(points, {}, [](const EQPoint& p) { return p.y; }) -
                                    points.begin());
}

class EQCurveGridTest : public EQModelFixture {};

TEST_F(EQCurveGridTest, GridLinesAndLabelsInAnEnglishLocale) {
    const auto frequencies = EQCurveModel::frequencyGrid(kW, kH);
    EXPECT_EQ(labels(frequencies), (std::vector<std::string>{"50 Hz", "100 Hz", "200 Hz", "500 Hz", "1.0 kHz",
                                                             "2.0 kHz", "5.0 kHz", "10 kHz"}));
    const EQGridLine& twoHundred = frequencies[2];
    const double x = kW / 3;  // one decade of three above 20 Hz
    EXPECT_NEAR(twoHundred.from.x, x, 1e-9);
    EXPECT_EQ(twoHundred.from.y, 0);
    EXPECT_EQ(twoHundred.to, (EQPoint{twoHundred.from.x, kH}));
    EXPECT_EQ(twoHundred.labelOrigin, (EQPoint{twoHundred.from.x + 3, kH})) << "at the bottom, 3 points right";

    const auto levels = EQCurveModel::levelGrid(kW, kH);
    EXPECT_EQ(labels(levels), (std::vector<std::string>{"-12.0 dB", "-6.0 dB", "0.0 dB", "+6.0 dB", "+12.0 dB"}));
    const EQGridLine& plusSix = levels[3];
    EXPECT_DOUBLE_EQ(plusSix.from.y, kH / 3);
    EXPECT_EQ(plusSix.from.x, 0);
    EXPECT_EQ(plusSix.to, (EQPoint{kW, plusSix.from.y}));
    EXPECT_EQ(plusSix.labelOrigin, (EQPoint{4, plusSix.from.y})) << "4 points in, just above the line";
}

TEST_F(EQCurveGridTest, GridLabelsInAGermanLocale) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(
        labels(EQCurveModel::frequencyGrid(kW, kH)),
        (std::vector<std::string>{"50 Hz", "100 Hz", "200 Hz", "500 Hz", "1,0 kHz", "2,0 kHz", "5,0 kHz", "10 kHz"}));
    EXPECT_EQ(labels(EQCurveModel::levelGrid(kW, kH)),
              (std::vector<std::string>{"-12,0 dB", "-6,0 dB", "0,0 dB", "+6,0 dB", "+12,0 dB"}));
}

// Properties of the cookbook filters that hold whatever the implementation.
TEST(EQCurveBandLevel, BellPeaksAtItsGainAndMirrorsForCuts) {
    const EQBand boost = band(EQBandType::bell, 1000, 6);
    EXPECT_NEAR(EQCurveModel::bandLevel(boost, 1000), 6, 1e-9);
    EXPECT_NEAR(EQCurveModel::bandLevel(boost, 20), 0, 0.05);
    EXPECT_NEAR(EQCurveModel::bandLevel(boost, 20000), 0, 0.1);
    const EQBand cut = band(EQBandType::bell, 1000, -6);
    for (double f : {100.0, 700.0, 1000.0, 1500.0, 8000.0})
        EXPECT_NEAR(EQCurveModel::bandLevel(cut, f), -EQCurveModel::bandLevel(boost, f), 1e-9) << f;
    // A higher q is narrower: an octave away it lifts less.
    const double wide = EQCurveModel::bandLevel(band(EQBandType::bell, 1000, 6, 0.5), 2000);
    const double narrow = EQCurveModel::bandLevel(band(EQBandType::bell, 1000, 6, 4), 2000);
    EXPECT_GT(wide, 3);
    EXPECT_LT(narrow, 1);
}

TEST(EQCurveBandLevel, ShelvesReachTheirGainAndHaveHalfOfItAtTheCorner) {
    const EQBand low = band(EQBandType::lowShelf, 1000, 6);
    EXPECT_NEAR(EQCurveModel::bandLevel(low, 20), 6, 0.05);
    EXPECT_NEAR(EQCurveModel::bandLevel(low, 1000), 3, 1e-9);
    EXPECT_NEAR(EQCurveModel::bandLevel(low, 20000), 0, 0.05);
    const EQBand high = band(EQBandType::highShelf, 1000, 6);
    EXPECT_NEAR(EQCurveModel::bandLevel(high, 20), 0, 0.05);
    EXPECT_NEAR(EQCurveModel::bandLevel(high, 1000), 3, 1e-9);
    EXPECT_NEAR(EQCurveModel::bandLevel(high, 20000), 6, 0.1);
    // The shelf slope is fixed: q does not shape a shelf.
    EXPECT_EQ(EQCurveModel::bandLevel(band(EQBandType::lowShelf, 1000, 6, 5), 700), EQCurveModel::bandLevel(low, 700));
}

TEST(EQCurveBandLevel, CutFiltersAreSecondOrderButterworthAndIgnoreGainAndQ) {
    const EQBand lowCut = band(EQBandType::lowCut, 1000);
    EXPECT_NEAR(EQCurveModel::bandLevel(lowCut, 1000), kHalfPower, 1e-9);
    EXPECT_NEAR(EQCurveModel::bandLevel(lowCut, 100), -40, 0.2) << "12 dB per octave";
    EXPECT_NEAR(EQCurveModel::bandLevel(lowCut, 15000), 0, 0.05);
    const EQBand highCut = band(EQBandType::highCut, 1000);
    EXPECT_NEAR(EQCurveModel::bandLevel(highCut, 1000), kHalfPower, 1e-9);
    EXPECT_NEAR(EQCurveModel::bandLevel(highCut, 20), 0, 0.01);
    EXPECT_LT(EQCurveModel::bandLevel(highCut, 10000), -40);
    for (double f : {100.0, 1000.0, 5000.0}) {
        EXPECT_EQ(EQCurveModel::bandLevel(band(EQBandType::lowCut, 1000, 12, 8), f),
                  EQCurveModel::bandLevel(lowCut, f));
        EXPECT_EQ(EQCurveModel::bandLevel(band(EQBandType::highCut, 1000, -9, 0.3), f),
                  EQCurveModel::bandLevel(highCut, f));
    }
}

TEST(EQCurveBandLevel, DegenerateBandsGiveNumbers) {
    // Above 23520 Hz the design frequency is held there, short of Nyquist.
    EXPECT_EQ(EQCurveModel::bandLevel(band(EQBandType::bell, 30000, 6), 15000),
              EQCurveModel::bandLevel(band(EQBandType::bell, 23520, 6), 15000));
    EXPECT_TRUE(std::isfinite(EQCurveModel::bandLevel(band(EQBandType::lowCut, 30000), 20000)));
    // A low-pass at 0 Hz passes nothing: its numerator vanishes.
    EXPECT_EQ(EQCurveModel::bandLevel(band(EQBandType::highCut, 0), 1000), -96);
    EXPECT_EQ(EQCurveModel::bandLevel(band(EQBandType::bell, std::numeric_limits<double>::quiet_NaN(), 6), 1000), -96);
}

TEST(EQCurveResponse, SpansTheAxisIn241PointsAndSumsTheEnabledBands) {
    const auto settings = settingsWith(
        {band(EQBandType::bell, 1000, 6), band(EQBandType::bell, 1000, 4), band(EQBandType::bell, 1000, 12, 1, false)});
    const auto curve = EQCurveModel::responseCurve(settings, kW, kH);
    ASSERT_EQ(curve.size(), 241u);
    EXPECT_EQ(curve.front().x, 0);
    EXPECT_DOUBLE_EQ(curve[120].x, kW / 2);
    EXPECT_DOUBLE_EQ(curve.back().x, kW);
    // The peak near 1 kHz (point 136 is at 1002 Hz) shows 6 + 4 dB; the disabled band adds nothing.
    EXPECT_EQ(highest(curve), 136u);
    EXPECT_NEAR(curve[136].y, EQCurveModel::yForLevel(10, kH), 0.01);
    EXPECT_NEAR(curve.front().y, kH / 2, 0.1);
}

TEST(EQCurveResponse, IsFlatWhenOffOrWithoutBandsAndClipsAtTheEdges) {
    const auto bands = std::vector<EQBand>{band(EQBandType::bell, 1000, 12), band(EQBandType::lowCut, 200)};
    for (const auto& flat : {settingsWith(bands, false), settingsWith({})}) {
        for (const EQPoint& p : EQCurveModel::responseCurve(flat, kW, kH))
            EXPECT_EQ(p.y, kH / 2);
    }

    const auto curve =
        EQCurveModel::responseCurve(settingsWith({band(EQBandType::bell, 1000, 12), band(EQBandType::bell, 1000, 12),
                                                  band(EQBandType::lowCut, 200)}),
                                    kW, kH);
    EXPECT_EQ(curve[136].y, 0) << "24 dB drawn at the top edge";
    EXPECT_EQ(curve.front().y, kH) << "the low cut's -40 dB at 20 Hz drawn at the bottom edge";
    // Garbage bands must not produce garbage points.
    const auto odd = EQCurveModel::responseCurve(
        settingsWith({band(EQBandType::highCut, 0), band(EQBandType::bell, 1000, 6, 0)}), kW, kH);
    for (const EQPoint& p : odd)
        EXPECT_TRUE(std::isfinite(p.y));
}

TEST(EQCurveHandles, EveryBandHasAHandleAndCutBandsSitOnTheZeroLine) {
    auto settings = defaultEQSettings();
    settings.bands[0].gain = 6;   // the low cut: the gain is not used
    settings.bands[2].gain = 30;  // beyond the range: held at the top
    settings.bands[3].gain = -9;
    const auto handles = EQCurveModel::handles(settings, kW, kH);
    ASSERT_EQ(handles.size(), 5u);
    EXPECT_EQ(handles[0].number, 1);
    EXPECT_FALSE(handles[0].isEnabled);
    EXPECT_EQ(handles[0].centre, (EQPoint{EQCurveModel::xForFrequency(80, kW), kH / 2}));
    EXPECT_EQ(handles[2].centre.y, 0);
    EXPECT_DOUBLE_EQ(handles[3].centre.y, kH * 0.75);
    EXPECT_EQ(handles[4].number, 5);
    EXPECT_TRUE(handles[4].isEnabled);
}

TEST(EQCurveHandles, PickingUpTakesTheNearestEnabledHandleWithin24Points) {
    auto settings = defaultEQSettings();
    const EQPoint bell = EQCurveModel::handles(settings, kW, kH)[2].centre;
    EXPECT_EQ(EQCurveModel::bandAt(settings, bell, kW, kH), 2u);
    EXPECT_EQ(EQCurveModel::bandAt(settings, {bell.x, bell.y - 24}, kW, kH), 2u);
    EXPECT_EQ(EQCurveModel::bandAt(settings, {bell.x, bell.y + 24.5}, kW, kH), std::nullopt);
    // The disabled low cut cannot be picked up.
    const EQPoint lowCut = EQCurveModel::handles(settings, kW, kH)[0].centre;
    EXPECT_EQ(EQCurveModel::bandAt(settings, lowCut, kW, kH), std::nullopt);

    // Two handles on one spot: the earlier band; one nearer: that one.
    settings.bands[3].frequency = 1000;
    EXPECT_EQ(EQCurveModel::bandAt(settings, bell, kW, kH), 2u);
    settings.bands[3].gain = 1;  // 6.1 points higher
    EXPECT_EQ(EQCurveModel::bandAt(settings, {bell.x, bell.y - 5}, kW, kH), 3u);
    EXPECT_EQ(EQCurveModel::bandAt(settings, {bell.x, bell.y - 3}, kW, kH), 2u);
}

TEST(EQCurveSpectrum, OnePointPerLevelBetweenTheBottomCorners) {
    const std::vector<float> levels = {-90, -45, 0, 10, -120};
    const auto shape = EQCurveModel::spectrumShape(levels, 500, 90);
    expectPoints(shape, {{0, 90}, {50, 90}, {150, 45}, {250, 0}, {350, 0}, {450, 90}, {500, 90}});
}

TEST(EQCurveSpectrum, TooFewOrMissingLevelsDrawNothingOrSilence) {
    EXPECT_TRUE(EQCurveModel::spectrumShape(std::vector<float>{}, 500, 90).empty());
    EXPECT_TRUE(EQCurveModel::spectrumShape(std::vector<float>{-20}, 500, 90).empty());
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const auto shape = EQCurveModel::spectrumShape(std::vector<float>{nan, -30, nan}, 300, 90);
    expectPoints(shape, {{0, 90}, {50, 90}, {150, 30}, {250, 90}, {300, 90}});
}

class EQCurveModelTest : public EQModelFixture {
protected:
    void SetUp() override {
        EQModelFixture::SetUp();
        state = launch();
        curve = std::make_unique<EQCurveModel>(*state);
        editor = std::make_unique<EQEditorModel>(*state);
    }
    void TearDown() override {
        curve.reset();
        editor.reset();
        state.reset();
        EQModelFixture::TearDown();
    }
    const EQSettings& settings() const { return state->deviceEQ().settings.value(); }
    EQPoint handle(std::size_t index) const { return curve->handles(kW, kH)[index].centre; }
    void drag(EQPoint from, std::vector<EQPoint> through) {
        curve->beginDrag(from);
        for (const EQPoint& p : through)
            curve->dragTo(p, kW, kH);
        curve->endDrag();
    }

    std::shared_ptr<AppState> state;
    std::unique_ptr<EQCurveModel> curve;
    std::unique_ptr<EQEditorModel> editor;
};

TEST_F(EQCurveModelTest, EQOffDrawsAFlatLineWhileTheHandlesStay) {
    editor->setBandGain(2, 12);
    editor->setBandGain(4, -6);
    const auto handlesBefore = curve->handles(kW, kH);
    EXPECT_LT(curve->responseCurve(kW, kH)[136].y, kH / 2);

    editor->setEnabled(false);
    for (const EQPoint& p : curve->responseCurve(kW, kH))
        EXPECT_EQ(p.y, kH / 2);
    const auto handlesAfter = curve->handles(kW, kH);
    ASSERT_EQ(handlesAfter.size(), handlesBefore.size());
    for (std::size_t i = 0; i < handlesAfter.size(); ++i)
        EXPECT_EQ(handlesAfter[i].centre, handlesBefore[i].centre);
}

TEST_F(EQCurveModelTest, DraggingAHandleSetsFrequencyAndGainAndIsStored) {
    const EQPoint target{EQCurveModel::xForFrequency(2000, kW), EQCurveModel::yForLevel(6, kH)};
    curve->beginDrag(handle(2));
    EXPECT_EQ(curve->draggedBandIndex(), std::nullopt) << "picked up at the first move";
    curve->dragTo(target, kW, kH);
    EXPECT_EQ(curve->draggedBandIndex(), 2u);
    EXPECT_EQ(settings().bands[2].frequency, 2000);
    EXPECT_DOUBLE_EQ(settings().bands[2].gain, 6);
    EXPECT_EQ(state->deviceEQ().node()->bands()[2].frequency(), 2000.0f) << "applied at once";
    // Over another band's handle the dragged band stays the one that moves.
    curve->dragTo(handle(3), kW, kH);
    EXPECT_EQ(settings().bands[3], defaultEQSettings().bands[3]);
    EXPECT_EQ(settings().bands[2].frequency, 3500);
    curve->endDrag();
    EXPECT_EQ(curve->draggedBandIndex(), std::nullopt);

    time.advance(500ms);
    EXPECT_EQ(stored().at(kMicUID), settings());
}

TEST_F(EQCurveModelTest, DragsStopAtTheEdgesAndRoundTheGainToATenth) {
    drag(handle(2), {{-50, -40}});
    EXPECT_EQ(settings().bands[2].frequency, 20);
    EXPECT_EQ(settings().bands[2].gain, 18);
    drag(handle(2), {{kW + 100, kH + 30}});
    EXPECT_EQ(settings().bands[2].frequency, 20000);
    EXPECT_EQ(settings().bands[2].gain, -18);

    // (1 - 202.5 / 360) x 36 - 18 = -2.25, which rounds away from zero.
    const EQPoint start = handle(3);
    curve->beginDrag({start.x, start.y * 360 / kH});
    curve->dragTo({start.x, 202.5}, kW, 360);
    curve->endDrag();
    EXPECT_EQ(settings().bands[3].gain, -2.3);
    EXPECT_EQ(settings().bands[3].frequency, 3500);
}

TEST_F(EQCurveModelTest, AHighCutHandleMovesOnlySideways) {
    editor->setBandGain(4, 4);
    editor->setBandType(4, EQBandType::highCut);
    const EQPoint start = handle(4);
    EXPECT_EQ(start.y, kH / 2);
    drag(start, {{start.x, start.y - 60}, {start.x, 5}});
    EXPECT_EQ(settings().bands[4].frequency, 10000);
    EXPECT_EQ(settings().bands[4].gain, 4);
    drag(start, {{EQCurveModel::xForFrequency(5000, kW), 5}});
    EXPECT_EQ(settings().bands[4].frequency, 5000);
    EXPECT_EQ(settings().bands[4].gain, 4);
    EXPECT_EQ(handle(4).y, kH / 2);
}

TEST_F(EQCurveModelTest, DisabledBandsAndEmptySpotsCannotBeDragged) {
    drag(handle(0), {{kW / 2, 10}, {kW / 2 + 20, 20}});
    EXPECT_EQ(settings(), defaultEQSettings());
    drag({kW / 2, 5}, {{kW / 2 + 40, 40}});
    EXPECT_EQ(settings(), defaultEQSettings());
    time.advance(1s);
    EXPECT_TRUE(stored().empty());

    editor->setBandEnabled(0, true);
    drag(handle(0), {{EQCurveModel::xForFrequency(120, kW), 5}});
    EXPECT_EQ(settings().bands[0].frequency, 120);
}

TEST_F(EQCurveModelTest, TheSpectrumFollowsTheAnalyserAlongTheFrequencyAxis) {
    int changes = 0;
    curve->onChange = [&] { ++changes; };
    const auto resting = curve->spectrumShape(kW, kH);
    ASSERT_EQ(resting.size(), 162u);
    EXPECT_TRUE(std::ranges::all_of(resting, [](const EQPoint& p) { return p.y == kH; }));

    state->spectrumAnalyzer().addClient();
    time.advance(300ms);
    EXPECT_GT(changes, 0);
    // The microphone's 440 Hz sine stands out where the curve draws 440 Hz.
    const auto shape = curve->spectrumShape(kW, kH);
    const EQPoint peak = shape[highest(shape)];
    EXPECT_NEAR(peak.x, EQCurveModel::xForFrequency(440, kW), 2 * kW / 160);
    EXPECT_LT(peak.y, kH / 2);
    state->spectrumAnalyzer().removeClient();
}

TEST_F(EQCurveModelTest, OnChangeFollowsTheSettings) {
    int changes = 0;
    curve->onChange = [&] { ++changes; };
    time.runUntilIdle();
    EXPECT_EQ(changes, 0);
    drag(handle(3), {{EQCurveModel::xForFrequency(4000, kW), 20}});
    time.runUntilIdle();
    EXPECT_GT(changes, 0);
}

}  // namespace
