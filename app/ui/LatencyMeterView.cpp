#include "app/ui/LatencyMeterView.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/ui/PanelStyle.h"
#include "app/ui/StatusLineView.h"

namespace velunto {

namespace {

constexpr int kPadding = 16;
constexpr int kSpacing = 14;

QLabel* wrappedLabel(const QString& text, const QFont& font, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

}  // namespace

LatencyMeterView::LatencyMeterView(std::shared_ptr<LatencyMeterModel> model, QWidget* parent)
    : QWidget(parent), model_(std::move(model)) {
    setFixedWidth(kWidth);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    layout->setSpacing(kSpacing);

    title_ = wrappedLabel({}, PanelStyle::font(11, QFont::DemiBold), this);
    layout->addWidget(title_);
    auto* explanation =
        wrappedLabel(QString::fromStdString(LatencyMeterModel::explanation()), PanelStyle::font(9), this);
    PanelStyle::markSecondary(*explanation);
    layout->addWidget(explanation);
    layout->addWidget(makeGrid());

    status_ = new StatusLineView(this);
    status_->label().setFont(PanelStyle::font(10));
    layout->addWidget(status_);
    warning_ = new StatusLineView(this);
    warning_->label().setFont(PanelStyle::font(9));
    layout->addWidget(warning_);
    layout->addWidget(makeButtons());

    model_->onChange = [this] { refresh(); };
    refresh();
}

LatencyMeterView::~LatencyMeterView() {
    model_->onChange = nullptr;
}

QSize LatencyMeterView::sizeHint() const {
    const int height =
        layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(kWidth) : layout()->totalSizeHint().height();
    return {kWidth, height};
}

QSize LatencyMeterView::minimumSizeHint() const {
    return sizeHint();
}

QWidget* LatencyMeterView::makeGrid() {
    auto* grid = new QWidget(this);
    grid_ = new QGridLayout(grid);
    grid_->setContentsMargins(0, 0, 0, 0);
    grid_->setHorizontalSpacing(16);
    grid_->setVerticalSpacing(6);
    grid_->setColumnStretch(2, 1);
    return grid;
}

QWidget* LatencyMeterView::makeButtons() {
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    start_ = new QPushButton(QString::fromUtf8(LatencyMeterModel::kStartTitle), row);
    start_->setDefault(true);
    QObject::connect(start_, &QPushButton::clicked, [this] { model_->startMeasurement(); });
    discard_ = new QPushButton(QString::fromUtf8(LatencyMeterModel::kDiscardTitle), row);
    QObject::connect(discard_, &QPushButton::clicked, [this] { model_->discardMeasurement(); });
    layout->addWidget(start_);
    layout->addWidget(discard_);
    layout->addStretch(1);
    return row;
}

void LatencyMeterView::refreshGrid() {
    const auto rows = model_->rows();
    QWidget* grid = grid_->parentWidget();
    while (values_.size() < rows.size()) {
        const int row = static_cast<int>(values_.size());
        auto* label = new QLabel(grid);
        label->setFont(PanelStyle::font(10));
        label->setTextFormat(Qt::PlainText);
        auto* value = new QLabel(grid);
        value->setTextFormat(Qt::PlainText);
        grid_->addWidget(label, row, 0);
        grid_->addWidget(value, row, 1);
        labels_.push_back(label);
        values_.push_back(value);
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        labels_[i]->setText(QString::fromStdString(rows[i].label));
        values_[i]->setFont(PanelStyle::monospacedDigitFont(10, rows[i].isBold ? QFont::Bold : QFont::Normal));
        values_[i]->setText(QString::fromStdString(rows[i].value));
    }
}

void LatencyMeterView::refresh() {
    title_->setText(QString::fromStdString(model_->title()));
    refreshGrid();
    status_->setLine(model_->statusLine());
    warning_->setLine(model_->blockSizeWarning());
    start_->setEnabled(model_->canStartMeasurement());
    discard_->setEnabled(model_->canDiscardMeasurement());
    updateGeometry();
}

void LatencyMeterView::keyPressEvent(QKeyEvent* event) {
    // Return is the window's default action: it reaches here from any control that does not take it.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (start_->isEnabled())
            start_->click();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

// Secondary texts are a shade of the text colour: they follow a change between light and dark.
void LatencyMeterView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        PanelStyle::refreshSecondary(*this);
}

}  // namespace velunto
