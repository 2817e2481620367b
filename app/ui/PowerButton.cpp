#include "app/ui/PowerButton.h"

#include <QPainter>

#include "app/ui/PanelStyle.h"
#include "app/ui/SymbolImage.h"

namespace velunto {

PowerButton::PowerButton(std::function<void()> action, QWidget* parent) : QAbstractButton(parent) {
    setFixedSize(sizeHint());
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    QObject::connect(this, &QAbstractButton::clicked, [action = std::move(action)] {
        if (action)
            action();
    });
}

QSize PowerButton::sizeHint() const {
    return {44, 44};
}

void PowerButton::setOn(bool on, const QString& label) {
    on_ = on;
    setToolTip(label);
    setAccessibleName(label);
    update();
}

void PowerButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF circle = QRectF(rect()).adjusted(2, 2, -2, -2);
    const QColor accent = PanelStyle::accent(palette());
    if (on_) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(isDown() ? accent.darker(115) : accent);
    } else {
        painter.setPen(QPen(PanelStyle::secondaryText(palette()), 1.5));
        painter.setBrush(isDown() ? PanelStyle::separator(palette()) : Qt::transparent);
    }
    painter.drawEllipse(circle);
    const QColor glyph = on_ ? palette().color(QPalette::HighlightedText) : PanelStyle::secondaryText(palette());
    SymbolImage::paint(painter, "power", circle.adjusted(11, 11, -11, -11), glyph);
    if (hasFocus()) {
        painter.setPen(QPen(accent, 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75));
    }
}

}  // namespace velunto
