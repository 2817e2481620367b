#pragma once

#include <QWidget>
#include <cstddef>

#include "app/ui/EQEditorModel.h"

class QComboBox;
class QLabel;
class QSlider;

namespace velunto {

class Switch;

// One band of the EQ window's table: the on/off switch with the band number, the type picker, and a
// slider with its value text for frequency, gain and q. It shows what setRow() says and hands every
// change to the model.
class EQBandRowView : public QWidget {
public:
    // QSlider counts in integers; each model range is spread over this many steps.
    static constexpr int kSliderSteps = 1000;
    // The width of the window's content, which the row and the column titles above it span.
    static constexpr int kRowWidth = 688;
    static constexpr int kHeight = 34;
    static constexpr int kPadding = 10;
    static constexpr int kColumnSpacing = 12;
    static constexpr int kBandColumnWidth = 56;
    static constexpr int kValueTextPointSize = 9;

    // The model must outlive the row; index is the band's position in the settings.
    EQBandRowView(EQEditorModel& model, std::size_t index, QWidget* parent = nullptr);

    void setRow(const EQBandRow& row);

    // Where a value sits on a slider over the range, and back; values outside the range are limited.
    static int sliderValue(double value, EQSliderRange range);
    static double valueAt(int sliderValue, EQSliderRange range);
    // The width of each of the three slider columns (slider and value text).
    static constexpr int kSliderColumnWidth = (kRowWidth - 2 * kPadding - kBandColumnWidth -
                                               static_cast<int>(EQEditorModel::kTypePickerWidth) - 4 * kColumnSpacing) /
                                              3;

    Switch& enabledSwitch() { return *enabled_; }
    QComboBox& typePicker() { return *type_; }
    QSlider& frequencySlider() { return *frequency_; }
    QSlider& gainSlider() { return *gain_; }
    QSlider& qSlider() { return *q_; }
    QLabel& frequencyText() { return *frequencyText_; }
    QLabel& gainText() { return *gainText_; }
    QLabel& qText() { return *qText_; }

private:
    QWidget* makeBandColumn();
    QWidget* makeSliderColumn(QSlider*& slider, QLabel*& text, const QString& name);
    static void showValue(QSlider& slider, double value, EQSliderRange range);

    EQEditorModel& model_;
    std::size_t index_;
    Switch* enabled_ = nullptr;
    QLabel* number_ = nullptr;
    QComboBox* type_ = nullptr;
    QSlider* frequency_ = nullptr;
    QSlider* gain_ = nullptr;
    QSlider* q_ = nullptr;
    QLabel* frequencyText_ = nullptr;
    QLabel* gainText_ = nullptr;
    QLabel* qText_ = nullptr;
};

}  // namespace velunto
