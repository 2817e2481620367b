#include "app/ui/Notice.h"

#include <QPainter>

#include "app/ui/PanelStyle.h"
#include "app/ui/SymbolImage.h"

namespace velunto {

namespace {

constexpr int kPadding = 8;
constexpr int kIcon = 16;

}  // namespace

Notice::Notice(std::string icon, const std::string& text, std::function<void()> action, QWidget* parent)
    : QAbstractButton(parent), icon_(std::move(icon)) {
    setText(QString::fromStdString(text));
    setFont(PanelStyle::font(9));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setEnabled(true);
    if (action) {
        setCursor(Qt::PointingHandCursor);
        QObject::connect(this, &QAbstractButton::clicked, std::move(action));
    } else {
        setFocusPolicy(Qt::NoFocus);
    }
}

QRectF Notice::textRect(int width) const {
    return QRectF(kPadding + kIcon + 8, kPadding, std::max(20, width - 2 * kPadding - kIcon - 8), 10000);
}

int Notice::heightForWidth(int width) const {
    const QRectF bounds =
        fontMetrics().boundingRect(textRect(width).toRect(), Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, text());
    return std::max(kIcon, bounds.toRect().height()) + 2 * kPadding;
}

QSize Notice::sizeHint() const {
    const int width = std::max(200, this->width());
    return {width, heightForWidth(width)};
}

void Notice::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor tint = PanelStyle::warning(palette());
    tint.setAlphaF(isDown() ? 0.26f : 0.14f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(tint);
    painter.drawRoundedRect(QRectF(rect()), 8, 8);
    SymbolImage::paint(painter, icon_, QRectF(kPadding, kPadding, kIcon, kIcon), PanelStyle::warning(palette()));
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(textRect(width()), Qt::TextWordWrap | Qt::AlignLeft | Qt::AlignTop, text());
}

}  // namespace velunto
