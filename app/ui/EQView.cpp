#include "app/ui/EQView.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/audio/AppState.h"
#include "app/ui/Card.h"
#include "app/ui/CardDivider.h"
#include "app/ui/EQBandRowView.h"
#include "app/ui/EQCurveModel.h"
#include "app/ui/EQCurveView.h"
#include "app/ui/EQEditorModel.h"
#include "app/ui/PanelStyle.h"
#include "app/ui/RowIcon.h"
#include "app/ui/SpectrumView.h"
#include "app/ui/Switch.h"
#include "app/ui/SymbolImage.h"

namespace velunto {

namespace {

constexpr int kSideMargin = (static_cast<int>(EQEditorModel::kWidth) - EQBandRowView::kRowWidth) / 2;

QLabel* label(const QString& text, const QFont& font, QWidget* parent, bool secondary = false) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    if (secondary)
        PanelStyle::markSecondary(*label);
    return label;
}

}  // namespace

EQView::EQView(AppState& state, QWidget* parent)
    : QWidget(parent), editor_(std::make_unique<EQEditorModel>(state)), curve_(std::make_unique<EQCurveModel>(state)) {
    setFixedWidth(static_cast<int>(EQEditorModel::kWidth));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kSideMargin, 14, kSideMargin, kSideMargin);
    layout->setSpacing(kSectionSpacing);
    layout->addWidget(makeHeader());
    layout->addWidget(makeCurveArea(state));
    auto* table = new QVBoxLayout;
    table->setSpacing(4);
    table->addWidget(makeColumnTitles());
    table_ = new Card(this);
    table->addWidget(table_);
    layout->addLayout(table);
    layout->addStretch(1);

    editor_->onChange = [this] { refresh(); };
    curve_->onChange = [this] { curveView_->update(); };
    refresh();
}

EQView::~EQView() {
    editor_->onChange = nullptr;
    curve_->onChange = nullptr;
}

QWidget* EQView::makeHeader() {
    auto* header = new QWidget(this);
    auto* layout = new QHBoxLayout(header);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    enabled_ = new Switch(header);
    enabled_->setAccessibleName(QString::fromUtf8(EQEditorModel::kEnabledTitle));
    QObject::connect(enabled_, &QAbstractButton::clicked, [this](bool on) { editor_->setEnabled(on); });
    layout->addWidget(enabled_);
    layout->addWidget(
        label(QString::fromUtf8(EQEditorModel::kEnabledTitle), PanelStyle::font(11, QFont::DemiBold), header));
    layout->addSpacing(16);

    layout->addWidget(new RowIcon("mic.fill", header));
    device_ = label({}, PanelStyle::font(10), header, true);
    device_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    device_->installEventFilter(this);
    layout->addWidget(device_, 1);

    reset_ = new QPushButton(QString::fromUtf8(EQEditorModel::kResetTitle), header);
    reset_->setIcon(SymbolImage::icon("arrow.uturn.backward", palette().color(QPalette::ButtonText)));
    reset_->setFont(PanelStyle::font(10));
    reset_->setCursor(Qt::PointingHandCursor);
    QObject::connect(reset_, &QPushButton::clicked, [this] { editor_->reset(); });
    layout->addWidget(reset_);
    return header;
}

// The spectrum and the curve share one cell, the curve on top.
QWidget* EQView::makeCurveArea(AppState& state) {
    auto* area = new QWidget(this);
    area->setFixedHeight(static_cast<int>(EQEditorModel::kCurveHeight));
    auto* layout = new QGridLayout(area);
    layout->setContentsMargins(0, 0, 0, 0);
    spectrumView_ = new SpectrumView(*curve_, state.spectrumAnalyzer(), area);
    curveView_ = new EQCurveView(*curve_, area);
    layout->addWidget(spectrumView_, 0, 0);
    layout->addWidget(curveView_, 0, 0);
    curveView_->raise();
    return area;
}

QWidget* EQView::makeColumnTitles() {
    auto* titles = new QWidget(this);
    auto* layout = new QHBoxLayout(titles);
    layout->setContentsMargins(EQBandRowView::kPadding, 0, EQBandRowView::kPadding, 0);
    layout->setSpacing(EQBandRowView::kColumnSpacing);
    const int widths[] = {EQBandRowView::kBandColumnWidth, static_cast<int>(EQEditorModel::kTypePickerWidth),
                          EQBandRowView::kSliderColumnWidth, EQBandRowView::kSliderColumnWidth,
                          EQBandRowView::kSliderColumnWidth};
    for (std::size_t i = 0; i < EQEditorModel::kColumnTitles.size(); ++i) {
        QLabel* title = label(QString::fromUtf8(EQEditorModel::kColumnTitles[i]), PanelStyle::font(8, QFont::DemiBold),
                              titles, true);
        title->setFixedWidth(widths[i]);
        layout->addWidget(title);
    }
    layout->addStretch(1);
    return titles;
}

// Settings loaded for another device may hold a different number of bands.
void EQView::matchRowCount(std::size_t count) {
    if (rows_.size() == count)
        return;
    for (QWidget* widget : dividers_)
        delete widget;
    for (EQBandRowView* row : rows_)
        delete row;
    dividers_.clear();
    rows_.clear();
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            dividers_.push_back(new CardDivider(table_));
            table_->addRow(dividers_.back());
        }
        rows_.push_back(new EQBandRowView(*editor_, i, table_));
        table_->addRow(rows_.back());
    }
    adjustSize();
}

void EQView::showDeviceText() {
    const QString text = QString::fromStdString(editor_->deviceText());
    const int room = std::max(device_->width(), 1);
    device_->setText(device_->fontMetrics().elidedText(text, Qt::ElideRight, room));
    device_->setToolTip(text);
}

// The device text is shortened to the room the header leaves it, which is known once it is laid out.
bool EQView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == device_ && event->type() == QEvent::Resize)
        showDeviceText();
    return QWidget::eventFilter(watched, event);
}

void EQView::refresh() {
    enabled_->setChecked(editor_->isEnabled());
    showDeviceText();
    const auto rows = editor_->rows();
    matchRowCount(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        rows_[i]->setRow(rows[i]);
    curveView_->update();
}

// Secondary texts are a shade of the text colour: they follow a change between light and dark.
void EQView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        PanelStyle::refreshSecondary(*this);
}

}  // namespace velunto
