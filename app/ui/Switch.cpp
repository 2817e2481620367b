#include "app/ui/Switch.h"

#include <QPainter>

#include "app/ui/PanelStyle.h"

namespace velunto {

Switch::Switch(QWidget* parent) : QAbstractButton(parent) {
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setFixedSize(sizeHint());
}

QSize Switch::sizeHint() const {
    return {32, 18};
}

void Switch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
    QColor trackColor = isChecked() ? PanelStyle::accent(palette()) : PanelStyle::separator(palette());
    if (!isChecked())
        trackColor.setAlphaF(std::min(1.0, trackColor.alphaF() * 2.5));
    if (!isEnabled())
        trackColor.setAlphaF(trackColor.alphaF() * 0.4);
    painter.setPen(Qt::NoPen);
    painter.setBrush(trackColor);
    painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);
    const qreal knob = track.height() - 4;
    const qreal x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
    painter.setBrush(isEnabled() ? QColor(255, 255, 255) : QColor(235, 235, 235));
    painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
    if (hasFocus()) {
        painter.setPen(QPen(PanelStyle::accent(palette()), 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(track.adjusted(-0.5, -0.5, 0.5, 0.5), track.height() / 2, track.height() / 2);
    }
}

}  // namespace velunto
