#include "app/ui/StatusLineView.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <cmath>

#include "app/ui/PanelStyle.h"
#include "app/ui/SymbolImage.h"

namespace velunto {

namespace {

constexpr int kMark = 16;
constexpr int kGap = 6;
constexpr int kSpokes = 8;

}  // namespace

StatusLineView::StatusLineView(QWidget* parent) : QWidget(parent), text_(new QLabel(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(kMark + kGap, 0, 0, 0);
    layout->addWidget(text_);
    text_->setTextFormat(Qt::PlainText);
    text_->setWordWrap(true);
    text_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    spinner_.setInterval(80);
    QObject::connect(&spinner_, &QTimer::timeout, [this] {
        phase_ = (phase_ + 1) % kSpokes;
        update(markBox().toAlignedRect());
    });
    setVisible(false);
}

QColor StatusLineView::color(TextColorRole role, const QPalette& palette) {
    const bool dark = PanelStyle::isDark(palette);
    switch (role) {
        case TextColorRole::primary:
            return palette.color(QPalette::WindowText);
        case TextColorRole::secondary:
            return PanelStyle::secondaryText(palette);
        case TextColorRole::red:
            return dark ? QColor(255, 105, 97) : QColor(208, 40, 40);
        case TextColorRole::green:
            return dark ? QColor(48, 209, 88) : QColor(30, 140, 60);
        case TextColorRole::orange:
            return PanelStyle::warning(palette);
    }
    return palette.color(QPalette::WindowText);
}

void StatusLineView::setLine(const std::optional<LatencyStatusLine>& line) {
    if (line == line_)
        return;
    line_ = line;
    if (line_) {
        text_->setText(QString::fromStdString(line_->text));
        QPalette palette = text_->palette();
        palette.setColor(QPalette::WindowText, color(line_->color, this->palette()));
        text_->setPalette(palette);
    }
    setVisible(line_.has_value());
    updateSpinner();
    update();
}

QRectF StatusLineView::markBox() const {
    // Centred on the first line of text.
    const qreal top = std::max(0.0, (text_->fontMetrics().height() - kMark) / 2.0);
    return QRectF(0, top, kMark, kMark);
}

void StatusLineView::paintEvent(QPaintEvent*) {
    if (!line_)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor tint = color(line_->color, palette());
    if (line_->showsProgress)
        paintSpinner(painter, markBox(), tint);
    else if (!line_->symbolName.empty())
        SymbolImage::paint(painter, line_->symbolName, markBox(), tint);
}

void StatusLineView::paintSpinner(QPainter& painter, const QRectF& box, const QColor& color) const {
    const QPointF centre = box.center();
    const qreal outer = box.width() / 2.0 - 1;
    const qreal inner = outer * 0.45;
    for (int i = 0; i < kSpokes; ++i) {
        // The spoke at the phase is the darkest; the ones behind it fade out.
        const int age = (phase_ - i + kSpokes) % kSpokes;
        QColor spoke = color;
        spoke.setAlphaF(color.alphaF() * (1.0f - 0.8f * static_cast<float>(age) / kSpokes));
        const qreal angle = 2 * M_PI * i / kSpokes - M_PI / 2;
        const QPointF direction(std::cos(angle), std::sin(angle));
        painter.setPen(QPen(spoke, 1.8, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(centre + direction * inner, centre + direction * outer);
    }
}

void StatusLineView::updateSpinner() {
    if (line_ && line_->showsProgress && isVisible())
        spinner_.start();
    else
        spinner_.stop();
}

void StatusLineView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updateSpinner();
}

void StatusLineView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    updateSpinner();
}

}  // namespace velunto
