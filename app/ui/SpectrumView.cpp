#include "app/ui/SpectrumView.h"

#include <QPainter>
#include <QPainterPath>

#include "app/ui/EQCurveModel.h"
#include "app/ui/PanelStyle.h"

namespace velunto {

SpectrumView::SpectrumView(EQCurveModel& model, SpectrumAnalyzer& analyzer, QWidget* parent)
    : SpectrumClientView(analyzer, parent), model_(model) {}

void SpectrumView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF plate = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath outline;
    outline.addRoundedRect(plate, kCornerRadius, kCornerRadius);
    painter.fillPath(outline, PanelStyle::cardBackground(palette()));

    const auto shape = model_.spectrumShape(width(), height());
    if (!shape.empty()) {
        QPolygonF polygon;
        polygon.reserve(static_cast<qsizetype>(shape.size()));
        for (const EQPoint& point : shape)
            polygon.append(QPointF(point.x, point.y));
        QColor fill = PanelStyle::secondaryText(palette());
        fill.setAlphaF(fill.alphaF() * static_cast<float>(kFillOpacity));
        painter.setClipPath(outline);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawPolygon(polygon);
        painter.setClipping(false);
    }
    painter.setPen(QPen(PanelStyle::separator(palette()), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(outline);
}

}  // namespace velunto
