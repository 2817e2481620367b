#include "app/ui/EQBandRowView.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <algorithm>
#include <cmath>

#include "app/ui/EQScale.h"
#include "app/ui/PanelStyle.h"
#include "app/ui/Switch.h"

namespace velunto {

namespace {

// The widest texts a value column has to hold, in the current locale.
int valueTextWidth(const QFontMetrics& metrics) {
    const std::string samples[] = {EQScale::gainText(-18),        EQScale::gainText(18),
                                   EQScale::frequencyText(999),   EQScale::frequencyText(9950),
                                   EQScale::frequencyText(20000), EQScale::qText(10)};
    int widest = 0;
    for (const std::string& sample : samples)
        widest = std::max(widest, metrics.horizontalAdvance(QString::fromStdString(sample)));
    return widest + 2;
}

// Dimmed when disabled, whatever the palette's disabled colours are.
void dimWhenDisabled(QLabel& label) {
    QPalette palette = label.palette();
    QColor dimmed = PanelStyle::secondaryText(palette);
    dimmed.setAlphaF(dimmed.alphaF() * 0.6f);
    palette.setColor(QPalette::Disabled, QPalette::WindowText, dimmed);
    label.setPalette(palette);
}

}  // namespace

EQBandRowView::EQBandRowView(EQEditorModel& model, std::size_t index, QWidget* parent)
    : QWidget(parent), model_(model), index_(index) {
    setFixedHeight(kHeight);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(kPadding, 0, kPadding, 0);
    layout->setSpacing(kColumnSpacing);
    layout->addWidget(makeBandColumn());

    type_ = new QComboBox(this);
    type_->setFixedWidth(static_cast<int>(EQEditorModel::kTypePickerWidth));
    type_->setFont(PanelStyle::font(9));
    for (const std::string& label : EQEditorModel::typeLabels())
        type_->addItem(QString::fromStdString(label));
    type_->setAccessibleName(QStringLiteral("Typ %1").arg(index + 1));
    QObject::connect(type_, &QComboBox::activated, [this](int i) {
        if (i >= 0 && static_cast<std::size_t>(i) < allEQBandTypes.size())
            model_.setBandType(index_, allEQBandTypes[static_cast<std::size_t>(i)]);
    });
    layout->addWidget(type_);

    const int number = static_cast<int>(index) + 1;
    layout->addWidget(makeSliderColumn(frequency_, frequencyText_, QStringLiteral("Frequenz %1").arg(number)));
    layout->addWidget(makeSliderColumn(gain_, gainText_, QStringLiteral("Gain %1").arg(number)));
    layout->addWidget(makeSliderColumn(q_, qText_, QStringLiteral("Q %1").arg(number)));
    layout->addStretch(1);

    QObject::connect(frequency_, &QSlider::valueChanged, [this](int value) {
        model_.setBandFrequencyPosition(index_, valueAt(value, EQEditorModel::kFrequencySliderRange));
    });
    QObject::connect(gain_, &QSlider::valueChanged, [this](int value) {
        model_.setBandGain(index_, valueAt(value, EQEditorModel::kGainSliderRange));
    });
    QObject::connect(q_, &QSlider::valueChanged,
                     [this](int value) { model_.setBandQ(index_, valueAt(value, EQEditorModel::kQSliderRange)); });
}

QWidget* EQBandRowView::makeBandColumn() {
    auto* column = new QWidget(this);
    column->setFixedWidth(kBandColumnWidth);
    auto* layout = new QHBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    enabled_ = new Switch(column);
    enabled_->setAccessibleName(QStringLiteral("Band %1").arg(index_ + 1));
    QObject::connect(enabled_, &QAbstractButton::clicked, [this](bool on) { model_.setBandEnabled(index_, on); });
    number_ = new QLabel(QString::number(index_ + 1), column);
    number_->setFont(PanelStyle::monospacedDigitFont(10, QFont::DemiBold));
    dimWhenDisabled(*number_);
    layout->addWidget(enabled_);
    layout->addWidget(number_);
    layout->addStretch(1);
    return column;
}

QWidget* EQBandRowView::makeSliderColumn(QSlider*& slider, QLabel*& text, const QString& name) {
    auto* column = new QWidget(this);
    auto* layout = new QHBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    slider = new QSlider(Qt::Horizontal, column);
    slider->setRange(0, kSliderSteps);
    slider->setPageStep(kSliderSteps / 20);
    slider->setAccessibleName(name);
    text = new QLabel(column);
    text->setFont(PanelStyle::monospacedDigitFont(kValueTextPointSize));
    text->setTextFormat(Qt::PlainText);
    text->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    text->setFixedWidth(valueTextWidth(text->fontMetrics()));
    dimWhenDisabled(*text);
    layout->addWidget(slider, 1);
    layout->addWidget(text);
    column->setFixedWidth(kSliderColumnWidth);
    return column;
}

int EQBandRowView::sliderValue(double value, EQSliderRange range) {
    const double share = std::clamp((value - range.minimum) / (range.maximum - range.minimum), 0.0, 1.0);
    return static_cast<int>(std::round(share * kSliderSteps));
}

double EQBandRowView::valueAt(int sliderValue, EQSliderRange range) {
    const double share = std::clamp(static_cast<double>(sliderValue) / kSliderSteps, 0.0, 1.0);
    return range.minimum + share * (range.maximum - range.minimum);
}

// A slider the user is holding keeps its position; the model rounds what it receives.
void EQBandRowView::showValue(QSlider& slider, double value, EQSliderRange range) {
    if (slider.isSliderDown())
        return;
    const QSignalBlocker quiet(slider);
    slider.setValue(sliderValue(value, range));
}

void EQBandRowView::setRow(const EQBandRow& row) {
    enabled_->setChecked(row.isEnabled);
    number_->setEnabled(row.isEnabled);
    {
        const QSignalBlocker quiet(type_);
        type_->setCurrentIndex(static_cast<int>(row.typeIndex));
    }
    showValue(*frequency_, row.frequencyPosition, EQEditorModel::kFrequencySliderRange);
    showValue(*gain_, row.gain, EQEditorModel::kGainSliderRange);
    showValue(*q_, row.q, EQEditorModel::kQSliderRange);
    frequencyText_->setText(QString::fromStdString(row.frequencyText));
    gainText_->setText(QString::fromStdString(row.gainText));
    qText_->setText(QString::fromStdString(row.qText));
    gain_->setEnabled(row.isGainEnabled);
    gainText_->setEnabled(row.isGainEnabled);
    q_->setEnabled(row.isQEnabled);
    qText_->setEnabled(row.isQEnabled);
}

}  // namespace velunto
