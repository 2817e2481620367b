#include "app/ui/SpectrumView.h"

#include <QPainter>
#include <QPainterPath>

#include "app/processing/SpectrumAnalyzer.h"
#include "app/ui/EQCurveModel.h"
#include "app/ui/PanelStyle.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

SpectrumView::SpectrumView(EQCurveModel& model, SpectrumAnalyzer& analyzer, QWidget* parent)
    : QWidget(parent), model_(model), analyzer_(analyzer) {
    subscription_ = analyzer_.levels.sink(DispatchQueue::main(), [this](const SpectrumAnalyzer::Levels&) { update(); },
                                          {.initial = false});
}

SpectrumView::~SpectrumView() {
    subscription_.cancel();
    setActive(false);
}

void SpectrumView::setActive(bool active) {
    if (active == active_)
        return;
    active_ = active;
    if (active)
        analyzer_.addClient();
    else
        analyzer_.removeClient();
}

void SpectrumView::showEvent(QShowEvent*) {
    setActive(true);
}

void SpectrumView::hideEvent(QHideEvent*) {
    setActive(false);
}

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
