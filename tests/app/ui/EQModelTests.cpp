#include <gtest/gtest.h>

#include <QLocale>
#include <cmath>
#include <limits>
#include <vector>

#include "app/processing/DeviceEQ.h"
#include "app/ui/EQEditorModel.h"
#include "app/ui/EQScale.h"
#include "tests/app/ui/EQModelFixture.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

class EQEditorModelTest : public EQModelFixture {};

std::vector<std::string> texts(const std::vector<EQBandRow>& rows, std::string EQBandRow::*field) {
    std::vector<std::string> out;
    for (const auto& row : rows)
        out.push_back(row.*field);
    return out;
}

TEST_F(EQEditorModelTest, ValueTextsInAnEnglishLocale) {
    EXPECT_EQ(EQScale::frequencyText(20), "20 Hz");
    EXPECT_EQ(EQScale::frequencyText(250), "250 Hz");
    EXPECT_EQ(EQScale::frequencyText(999.4), "999 Hz");
    EXPECT_EQ(EQScale::frequencyText(1000), "1.0 kHz");
    EXPECT_EQ(EQScale::frequencyText(3500), "3.5 kHz");
    EXPECT_EQ(EQScale::frequencyText(1250), "1.3 kHz") << "halves away from zero";
    EXPECT_EQ(EQScale::frequencyText(10000), "10 kHz");
    EXPECT_EQ(EQScale::frequencyText(12500), "13 kHz");
    EXPECT_EQ(EQScale::frequencyText(20000), "20 kHz");

    EXPECT_EQ(EQScale::gainText(3), "+3.0 dB");
    EXPECT_EQ(EQScale::gainText(-6), "-6.0 dB");
    EXPECT_EQ(EQScale::gainText(0), "0.0 dB");
    EXPECT_EQ(EQScale::gainText(-0.04), "0.0 dB") << "no sign on what reads as zero";
    EXPECT_EQ(EQScale::gainText(0.04), "0.0 dB");
    EXPECT_EQ(EQScale::gainText(-2.25), "-2.3 dB");
    EXPECT_EQ(EQScale::gainText(1.45), "+1.5 dB") << "rounded after scaling, not from the binary 1.4499…";
    EXPECT_EQ(EQScale::gainText(18), "+18.0 dB");

    EXPECT_EQ(EQScale::qText(1), "1.0");
    EXPECT_EQ(EQScale::qText(0.7071), "0.7");
    EXPECT_EQ(EQScale::qText(1.25), "1.3");
    EXPECT_EQ(EQScale::qText(10), "10.0");
}

TEST_F(EQEditorModelTest, ValueTextsInAGermanLocale) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(EQScale::frequencyText(250), "250 Hz");
    EXPECT_EQ(EQScale::frequencyText(3500), "3,5 kHz");
    EXPECT_EQ(EQScale::frequencyText(10000), "10 kHz");
    EXPECT_EQ(EQScale::gainText(3), "+3,0 dB");
    EXPECT_EQ(EQScale::gainText(-6), "-6,0 dB");
    EXPECT_EQ(EQScale::gainText(0), "0,0 dB");
    EXPECT_EQ(EQScale::qText(0.7071), "0,7");
}

TEST_F(EQEditorModelTest, TheFrequencyAxisIsLogarithmicInWholeHertz) {
    EXPECT_EQ(EQScale::frequencyAt(0), 20);
    EXPECT_EQ(EQScale::frequencyAt(1), 20000);
    EXPECT_EQ(EQScale::frequencyAt(0.5), 632) << "20 x 1000^0.5 = 632.46";
    EXPECT_EQ(EQScale::frequencyAt(-0.3), 20);
    EXPECT_EQ(EQScale::frequencyAt(1.7), 20000);
    for (double f : {20.0, 80.0, 250.0, 1000.0, 3500.0, 10000.0, 20000.0})
        EXPECT_EQ(EQScale::frequencyAt(EQScale::position(f)), f);
    EXPECT_NEAR(EQScale::position(200), 1.0 / 3, 1e-12) << "one decade of three";
}

TEST_F(EQEditorModelTest, HeaderShowsTheSwitchAndTheDevice) {
    auto state = launch();
    EQEditorModel model(*state);
    EXPECT_TRUE(model.isEnabled());
    EXPECT_EQ(model.deviceText(), kMicName);
    EXPECT_EQ(EQEditorModel::typeLabels(),
              (std::vector<std::string>{"Glocke", "Low-Shelf", "High-Shelf", "Low-Cut", "High-Cut"}));

    const auto bandsBefore = state->deviceEQ().settings.value().bands;
    model.setEnabled(false);
    EXPECT_FALSE(model.isEnabled());
    EXPECT_TRUE(state->deviceEQ().node()->bypass()) << "applied at once";
    EXPECT_EQ(state->deviceEQ().settings.value().bands, bandsBefore) << "the bands are kept";
    EXPECT_TRUE(stored().empty()) << "stored only after the delay";
    time.advance(500ms);
    ASSERT_EQ(stored().count(kMicUID), 1u);
    EXPECT_FALSE(stored().at(kMicUID).isEnabled);
}

TEST_F(EQEditorModelTest, RowsOfTheDefaultBands) {
    auto state = launch();
    EQEditorModel model(*state);
    const auto rows = model.rows();
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(texts(rows, &EQBandRow::frequencyText),
              (std::vector<std::string>{"80 Hz", "250 Hz", "1.0 kHz", "3.5 kHz", "10 kHz"}));
    EXPECT_EQ(texts(rows, &EQBandRow::gainText),
              (std::vector<std::string>{"0.0 dB", "0.0 dB", "0.0 dB", "0.0 dB", "0.0 dB"}));
    EXPECT_EQ(texts(rows, &EQBandRow::qText), (std::vector<std::string>{"1.0", "1.0", "1.0", "1.0", "1.0"}));
    for (std::size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(rows[i].number, static_cast<int>(i) + 1);

    // The low cut: off, no gain, no q.
    EXPECT_FALSE(rows[0].isEnabled);
    EXPECT_EQ(EQEditorModel::typeLabels()[rows[0].typeIndex], "Low-Cut");
    EXPECT_FALSE(rows[0].isGainEnabled);
    EXPECT_FALSE(rows[0].isQEnabled);
    // A bell: everything.
    EXPECT_TRUE(rows[2].isEnabled);
    EXPECT_EQ(EQEditorModel::typeLabels()[rows[2].typeIndex], "Glocke");
    EXPECT_TRUE(rows[2].isGainEnabled);
    EXPECT_TRUE(rows[2].isQEnabled);
    EXPECT_NEAR(rows[2].frequencyPosition, std::log(50.0) / std::log(1000.0), 1e-12);
    // The high shelf: a gain, but no q.
    EXPECT_EQ(EQEditorModel::typeLabels()[rows[4].typeIndex], "High-Shelf");
    EXPECT_TRUE(rows[4].isGainEnabled);
    EXPECT_FALSE(rows[4].isQEnabled);
}

TEST_F(EQEditorModelTest, RowActionsKeepTheValuesInRangeAndAreStored) {
    auto state = launch();
    EQEditorModel model(*state);
    DeviceEQ& eq = state->deviceEQ();

    model.setBandFrequencyPosition(1, 0.5);
    EXPECT_EQ(eq.settings.value().bands[1].frequency, 632);
    EXPECT_EQ(model.rows()[1].frequencyText, "632 Hz");
    EXPECT_EQ(eq.node()->bands()[1].frequency(), 632.0f) << "applied at once";
    model.setBandFrequencyPosition(3, 1.4);
    EXPECT_EQ(eq.settings.value().bands[3].frequency, 20000);
    model.setBandFrequencyPosition(4, -0.2);
    EXPECT_EQ(eq.settings.value().bands[4].frequency, 20);

    model.setBandGain(2, -7.25);
    EXPECT_EQ(eq.settings.value().bands[2].gain, -7.25) << "continuous";
    EXPECT_EQ(model.rows()[2].gainText, "-7.3 dB");
    model.setBandGain(2, 25);
    EXPECT_EQ(eq.settings.value().bands[2].gain, 18);
    EXPECT_EQ(model.rows()[2].gainText, "+18.0 dB");
    EXPECT_EQ(eq.node()->bands()[2].gain(), 18.0f);
    model.setBandGain(1, -40);
    EXPECT_EQ(eq.settings.value().bands[1].gain, -18);

    model.setBandQ(2, 0.05);
    EXPECT_EQ(eq.settings.value().bands[2].q, 0.2);
    model.setBandQ(2, 30);
    EXPECT_EQ(eq.settings.value().bands[2].q, 10);
    model.setBandQ(2, 3.33);
    EXPECT_EQ(model.rows()[2].qText, "3.3");

    model.setBandEnabled(0, true);
    EXPECT_TRUE(model.rows()[0].isEnabled);
    EXPECT_FALSE(eq.node()->bands()[0].bypass());

    const EQSettings edited = eq.settings.value();
    time.advance(500ms);
    EXPECT_EQ(stored().at(kMicUID), edited) << "the whole burst in one write";
}

TEST_F(EQEditorModelTest, ChangingTheTypeSwitchesTheSliders) {
    auto state = launch();
    EQEditorModel model(*state);
    model.setBandGain(4, 4);
    model.setBandType(4, EQBandType::highCut);
    auto row = model.rows()[4];
    EXPECT_EQ(EQEditorModel::typeLabels()[row.typeIndex], "High-Cut");
    EXPECT_FALSE(row.isGainEnabled);
    EXPECT_FALSE(row.isQEnabled);
    EXPECT_EQ(row.gain, 4) << "kept, though not used";
    EXPECT_EQ(state->deviceEQ().node()->bands()[4].gain(), 0.0f);

    model.setBandType(4, EQBandType::lowShelf);
    row = model.rows()[4];
    EXPECT_TRUE(row.isGainEnabled);
    EXPECT_FALSE(row.isQEnabled);
    EXPECT_EQ(state->deviceEQ().node()->bands()[4].gain(), 4.0f);
}

TEST_F(EQEditorModelTest, InvalidEditsChangeNothing) {
    auto state = launch();
    EQEditorModel model(*state);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    model.setBandGain(5, 6);  // there are five bands
    model.setBandEnabled(7, true);
    model.setBandGain(2, nan);
    model.setBandQ(2, std::numeric_limits<double>::infinity());
    model.setBandFrequencyPosition(2, nan);
    EXPECT_EQ(state->deviceEQ().settings.value(), defaultEQSettings());
    time.advance(1s);
    EXPECT_TRUE(stored().empty());
}

TEST_F(EQEditorModelTest, ResetRestoresTheDefaultBandsAndSwitchesTheEqualiserOn) {
    auto state = launch();
    EQEditorModel model(*state);
    model.setEnabled(false);
    model.setBandEnabled(0, true);
    model.setBandType(1, EQBandType::lowShelf);
    model.setBandGain(2, 9);
    model.setBandQ(3, 4);
    model.setBandFrequencyPosition(4, 0.2);
    ASSERT_NE(state->deviceEQ().settings.value(), defaultEQSettings());

    model.reset();
    EXPECT_TRUE(model.isEnabled());
    EXPECT_EQ(state->deviceEQ().settings.value(), defaultEQSettings());
    EXPECT_FALSE(state->deviceEQ().node()->bypass());
    EXPECT_EQ(texts(model.rows(), &EQBandRow::frequencyText),
              (std::vector<std::string>{"80 Hz", "250 Hz", "1.0 kHz", "3.5 kHz", "10 kHz"}));
    time.advance(500ms);
    EXPECT_EQ(stored().at(kMicUID), defaultEQSettings());
}

TEST_F(EQEditorModelTest, WithoutAnInputDeviceEditsSoundButAreNotStored) {
    auto state = launch(false);
    EQEditorModel model(*state);
    EXPECT_EQ(model.deviceText(), "Kein Eingangsgerät");
    model.setBandGain(2, 6);
    EXPECT_EQ(state->deviceEQ().node()->bands()[2].gain(), 6.0f);
    time.advance(2s);
    EXPECT_TRUE(stored().empty());

    int changes = 0;
    model.onChange = [&] { ++changes; };
    hardware.plug(device(kMicName, kMicUID, 1, 0));
    time.advance(500ms);
    EXPECT_EQ(model.deviceText(), kMicName);
    EXPECT_GT(changes, 0);
}

TEST_F(EQEditorModelTest, OnChangeFollowsTheSettingsOnTheMainQueue) {
    auto state = launch();
    EQEditorModel model(*state);
    int changes = 0;
    model.onChange = [&] { ++changes; };
    time.runUntilIdle();
    EXPECT_EQ(changes, 0) << "no delivery of the current values";

    model.setBandGain(2, 3);
    EXPECT_EQ(changes, 0) << "delivered on the main queue, not inside the edit";
    time.runUntilIdle();
    EXPECT_EQ(changes, 1);

    // A change made elsewhere (the menu panel, a device switch) shows too.
    EQSettings other = defaultEQSettings();
    other.bands[3].gain = -5;
    state->deviceEQ().setSettings(other);
    time.runUntilIdle();
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(model.rows()[3].gainText, "-5.0 dB");
}

}  // namespace
