#include "app/ui/EQCurveView.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "app/ui/EQCurveModel.h"
#include "app/ui/PanelStyle.h"

namespace velunto {

namespace {

QPointF toQt(EQPoint point) {
    return {point.x, point.y};
}

// Centred on a pixel, so a one-point line stays crisp at 1x and 2x.
double snapped(double coordinate) {
    return std::floor(coordinate) + 0.5;
}

QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(color.alphaF() * static_cast<float>(opacity));
    return color;
}

}  // namespace

EQCurveView::EQCurveView(EQCurveModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setMouseTracking(true);
    setAccessibleName(QStringLiteral("EQ-Kurve"));
}

void EQCurveView::paintEvent(QPaintEvent*) {
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = (QSizeF(size()) * ratio).toSize();
    const EQSettings& settings = model_.settings();
    if (layer_.size() != pixels || layer_.devicePixelRatio() != ratio || layerSettings_ != settings ||
        layerPalette_ != palette().cacheKey()) {
        layer_ = QPixmap(pixels);
        layer_.setDevicePixelRatio(ratio);
        layer_.fill(Qt::transparent);
        QPainter layer(&layer_);
        layer.setRenderHint(QPainter::Antialiasing);
        QPainterPath plate;
        plate.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
        layer.setClipPath(plate);
        paintGrid(layer);
        paintCurve(layer);
        paintHandles(layer);
        layerSettings_ = settings;
        layerPalette_ = palette().cacheKey();
    }
    QPainter(this).drawPixmap(0, 0, layer_);
}

void EQCurveView::paintGrid(QPainter& painter) const {
    const QColor secondary = PanelStyle::secondaryText(palette());
    const QPen linePen(withOpacity(secondary, EQCurveModel::kGridOpacity), 1);
    painter.setFont(PanelStyle::monospacedDigitFont(kCaptionPointSize));
    const int descent = painter.fontMetrics().descent();
    const auto draw = [&](const EQGridLine& line, double lift) {
        const bool vertical = line.from.x == line.to.x;
        const QPointF from =
            vertical ? QPointF(snapped(line.from.x), line.from.y) : QPointF(line.from.x, snapped(line.from.y));
        const QPointF to = vertical ? QPointF(snapped(line.to.x), line.to.y) : QPointF(line.to.x, snapped(line.to.y));
        painter.setPen(linePen);
        painter.drawLine(from, to);
        painter.setPen(secondary);
        painter.drawText(QPointF(line.labelOrigin.x, line.labelOrigin.y - descent - lift),
                         QString::fromStdString(line.label));
    };
    for (const EQGridLine& line : EQCurveModel::frequencyGrid(width(), height()))
        draw(line, 2);
    for (const EQGridLine& line : EQCurveModel::levelGrid(width(), height()))
        draw(line, 1);
}

void EQCurveView::paintCurve(QPainter& painter) const {
    const auto points = model_.responseCurve(width(), height());
    if (points.empty())
        return;
    QPainterPath curve(toQt(points.front()));
    for (std::size_t i = 1; i < points.size(); ++i)
        curve.lineTo(toQt(points[i]));
    QPen pen(PanelStyle::accent(palette()), kCurveWidth);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(curve);
}

void EQCurveView::paintHandles(QPainter& painter) const {
    const double radius = EQCurveModel::kHandleDiameter / 2;
    painter.setFont(PanelStyle::font(kHandlePointSize, QFont::Bold));
    for (const EQHandle& handle : model_.handles(width(), height())) {
        const QColor fill =
            handle.isEnabled ? PanelStyle::accent(palette())
                             : withOpacity(PanelStyle::secondaryText(palette()), EQCurveModel::kDisabledHandleOpacity);
        const QRectF circle(handle.centre.x - radius, handle.centre.y - radius, 2 * radius, 2 * radius);
        painter.setPen(Qt::NoPen);
        painter.setBrush(fill);
        painter.drawEllipse(circle);
        painter.setPen(handle.isEnabled ? palette().color(QPalette::HighlightedText) : QColor(255, 255, 255));
        painter.drawText(circle, Qt::AlignCenter, QString::number(handle.number));
    }
}

bool EQCurveView::isOverEnabledHandle(QPointF point) const {
    for (const EQHandle& handle : model_.handles(width(), height()))
        if (handle.isEnabled &&
            std::hypot(handle.centre.x - point.x(), handle.centre.y - point.y()) <= EQCurveModel::kPickUpRadius)
            return true;
    return false;
}

void EQCurveView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    dragging_ = true;
    model_.beginDrag({event->position().x(), event->position().y()});
}

void EQCurveView::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_) {
        setCursor(isOverEnabledHandle(event->position()) ? Qt::OpenHandCursor : Qt::ArrowCursor);
        return;
    }
    model_.dragTo({event->position().x(), event->position().y()}, width(), height());
    if (model_.draggedBandIndex())
        setCursor(Qt::ClosedHandCursor);
}

void EQCurveView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !dragging_)
        return QWidget::mouseReleaseEvent(event);
    dragging_ = false;
    model_.endDrag();
    setCursor(isOverEnabledHandle(event->position()) ? Qt::OpenHandCursor : Qt::ArrowCursor);
}

}  // namespace velunto
