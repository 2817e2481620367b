#include "app/ui/SymbolImage.h"

#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QTransform>
#include <QtMath>
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <map>

namespace velunto {

namespace {

// Every icon is drawn on a square grid of kGrid units with lines kStroke units wide; the ink stays
// about 2 units clear of the edges.
constexpr qreal kGrid = 24;
constexpr qreal kStroke = 2;
// Set operations flatten curves by the size of the coordinates; working on an enlarged copy keeps
// circles round at large sizes.
constexpr qreal kPrecision = 8;

QPainterPath line(QPointF from, QPointF to) {
    QPainterPath path(from);
    path.lineTo(to);
    return path;
}

QPainterPath polyline(std::initializer_list<QPointF> points) {
    QPainterPath path(*points.begin());
    for (auto it = points.begin() + 1; it != points.end(); ++it)
        path.lineTo(*it);
    return path;
}

QPainterPath polygon(std::initializer_list<QPointF> points) {
    QPainterPath path = polyline(points);
    path.closeSubpath();
    return path;
}

QPainterPath circle(QPointF centre, qreal radius) {
    QPainterPath path;
    path.addEllipse(centre, radius, radius);
    return path;
}

QPainterPath roundedRect(const QRectF& rect, qreal radius) {
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

// Angles in degrees, 0 at three o'clock, positive counter-clockwise on screen.
QPointF onCircle(QPointF centre, qreal radius, qreal degrees) {
    const qreal a = qDegreesToRadians(degrees);
    return {centre.x() + radius * std::cos(a), centre.y() - radius * std::sin(a)};
}

QPainterPath arc(QPointF centre, qreal radius, qreal startDegrees, qreal sweepDegrees) {
    const QRectF bounds(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    QPainterPath path(onCircle(centre, radius, startDegrees));
    path.arcTo(bounds, startDegrees, sweepDegrees);
    return path;
}

QPainterPath outline(const QPainterPath& path, qreal width) {
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    return stroker.createStroke(path);
}

// The ink of one icon, built from strokes and filled areas; cut() removes area from what is there.
class Glyph {
public:
    Glyph& stroke(const QPainterPath& path, qreal width = kStroke) {
        add(outline(enlarged(path), width * kPrecision));
        return *this;
    }
    Glyph& fill(const QPainterPath& path) {
        add(enlarged(path));
        return *this;
    }
    // A filled shape whose corners are rounded like the strokes (it grows by half a stroke).
    Glyph& fillRounded(const QPainterPath& path, qreal width = kStroke) {
        fill(path);
        return stroke(path, width);
    }
    Glyph& cut(const QPainterPath& path) {
        ink_ = ink_.subtracted(enlarged(path));
        return *this;
    }
    Glyph& cutStroke(const QPainterPath& path, qreal width = kStroke) {
        ink_ = ink_.subtracted(outline(enlarged(path), width * kPrecision));
        return *this;
    }

    QPainterPath path() const {
        QPainterPath result = QTransform::fromScale(1 / kPrecision, 1 / kPrecision).map(ink_);
        // Fills the lazily computed bounds now, so that shared copies are only ever read.
        (void)result.boundingRect();
        (void)result.controlPointRect();
        return result;
    }

private:
    static QPainterPath enlarged(const QPainterPath& path) {
        return QTransform::fromScale(kPrecision, kPrecision).map(path);
    }
    void add(const QPainterPath& path) { ink_ = ink_.isEmpty() ? path.simplified() : ink_.united(path); }

    QPainterPath ink_;
};

constexpr QPointF kCentre(12, 12);

// A circle with a symbol inside: the shared frame of the ".circle" names.
Glyph circled() {
    Glyph glyph;
    glyph.stroke(circle(kCentre, 9));
    return glyph;
}

// An exclamation mark at `x`: a bar `width` wide from `top` to `bottom` and a dot centred at `dotY`.
QPainterPath exclamationMark(qreal x, qreal top, qreal bottom, qreal dotY, qreal width) {
    QPainterPath mark = outline(line(QPointF(x, top), QPointF(x, bottom)), width);
    mark.addPath(circle(QPointF(x, dotY), width * 0.6));
    return mark;
}

Glyph micFill() {
    Glyph glyph;
    glyph.fill(roundedRect(QRectF(8.75, 2, 6.5, 12.5), 3.25));
    glyph.stroke(arc(QPointF(12, 11), 6, 180, 180));
    glyph.stroke(line(QPointF(12, 17), QPointF(12, 21)));
    glyph.stroke(line(QPointF(8.5, 21), QPointF(15.5, 21)));
    return glyph;
}

// A four-pointed star with concave sides.
QPainterPath sparkle(QPointF c, qreal r) {
    const qreal k = r * 0.12;
    QPainterPath path(QPointF(c.x(), c.y() - r));
    path.quadTo(QPointF(c.x() + k, c.y() - k), QPointF(c.x() + r, c.y()));
    path.quadTo(QPointF(c.x() + k, c.y() + k), QPointF(c.x(), c.y() + r));
    path.quadTo(QPointF(c.x() - k, c.y() + k), QPointF(c.x() - r, c.y()));
    path.quadTo(QPointF(c.x() - k, c.y() - k), QPointF(c.x(), c.y() - r));
    path.closeSubpath();
    return path;
}

Glyph sparkles() {
    Glyph glyph;
    glyph.fillRounded(sparkle(QPointF(9.5, 14), 7), 1);
    glyph.fillRounded(sparkle(QPointF(17.5, 6.5), 4), 1);
    glyph.fillRounded(sparkle(QPointF(18.5, 18), 2.5), 1);
    return glyph;
}

// The power sign: an open ring with a bar through its gap.
void powerSign(Glyph& glyph, QPointF centre, qreal radius, qreal barTop) {
    glyph.stroke(arc(centre, radius, 90 + 40, 280));
    glyph.stroke(line(QPointF(centre.x(), barTop), centre));
}

Glyph power() {
    Glyph glyph;
    powerSign(glyph, QPointF(12, 13), 8, 3);
    return glyph;
}

Glyph powerCircle() {
    Glyph glyph = circled();
    powerSign(glyph, QPointF(12, 12.5), 4.5, 6.5);
    return glyph;
}

// Three slider tracks, each interrupted by a round knob at `knobs` along it.
Glyph sliders(bool vertical) {
    Glyph glyph;
    const qreal tracks[] = {5.75, 12, 18.25};
    const qreal knobs[] = {15, 8, 14};
    const qreal knobRadius = 2.75;
    for (int i = 0; i < 3; ++i) {
        const auto at = [&](qreal along) { return vertical ? QPointF(tracks[i], along) : QPointF(along, tracks[i]); };
        const qreal start = vertical ? 21 : 3;
        const qreal end = vertical ? 3 : 21;
        const qreal knob = vertical ? kGrid - knobs[i] : knobs[i];
        const qreal dir = vertical ? -1 : 1;
        glyph.stroke(line(at(start), at(knob - dir * knobRadius)));
        glyph.stroke(line(at(knob + dir * knobRadius), at(end)));
        glyph.stroke(circle(at(knob), knobRadius));
    }
    return glyph;
}

Glyph headphones() {
    Glyph glyph;
    QPainterPath band(QPointF(4, 16));
    band.lineTo(4, 12.5);
    band.arcTo(QRectF(4, 4.5, 16, 16), 180, -180);
    band.lineTo(20, 16);
    glyph.stroke(band);
    glyph.fillRounded(roundedRect(QRectF(4, 13.5, 4, 7.5), 1));
    glyph.fillRounded(roundedRect(QRectF(16, 13.5, 4, 7.5), 1));
    return glyph;
}

// A loudspeaker whose cone opens to the right.
QPainterPath speakerShape() {
    return polygon({{3.5, 9.5}, {7, 9.5}, {11, 5.5}, {11, 18.5}, {7, 14.5}, {3.5, 14.5}});
}

Glyph speakerWave2() {
    Glyph glyph;
    glyph.fillRounded(speakerShape());
    glyph.stroke(arc(QPointF(12, 12), 3.75, -45, 90));
    glyph.stroke(arc(QPointF(12, 12), 7.75, -50, 100));
    return glyph;
}

Glyph videoFill() {
    Glyph glyph;
    glyph.fill(roundedRect(QRectF(2, 5.5, 12.5, 13), 2.75));
    glyph.fillRounded(polygon({{17, 10.25}, {21, 7.75}, {21, 16.25}, {17, 13.75}}));
    return glyph;
}

Glyph videoBadgeExclamationmark() {
    Glyph glyph;
    glyph.stroke(roundedRect(QRectF(3, 10, 10.5, 10), 2.25));
    glyph.stroke(polygon({{15.75, 13.75}, {21, 11.5}, {21, 18.5}, {15.75, 16.25}}));
    const QPointF badge(17.25, 6.75);
    glyph.cut(circle(badge, 6.25));
    glyph.fill(circle(badge, 4.75));
    glyph.cut(exclamationMark(badge.x(), 4.25, 6.5, 9.1, 1.75));
    return glyph;
}

Glyph timer() {
    Glyph glyph;
    glyph.stroke(arc(kCentre, 9, 90 + 15, 330));
    glyph.stroke(line(QPointF(12, 3), QPointF(12, 6.5)));
    glyph.stroke(line(kCentre, QPointF(8, 8)));
    return glyph;
}

Glyph stopwatch() {
    Glyph glyph;
    const QPointF centre(12, 13.5);
    glyph.stroke(circle(centre, 7.5));
    glyph.stroke(line(QPointF(12, 3), QPointF(12, 6)));
    glyph.stroke(line(QPointF(9.5, 3), QPointF(14.5, 3)));
    glyph.stroke(line(onCircle(centre, 8.5, 45), onCircle(centre, 10.5, 45)));
    glyph.stroke(line(centre, QPointF(12, 9.5)));
    return glyph;
}

Glyph macwindow() {
    Glyph glyph;
    glyph.fill(roundedRect(QRectF(2, 3.5, 20, 17), 3));
    glyph.cut(roundedRect(QRectF(4, 9, 16, 9.5), 1.25));
    return glyph;
}

// An arc travelling from `start` by `sweep` degrees, ending in an arrowhead that follows the circle.
void circularArrow(Glyph& glyph, QPointF centre, qreal radius, qreal start, qreal sweep) {
    const qreal headDegrees = 28;
    const qreal end = start + sweep;
    const qreal direction = sweep < 0 ? -1 : 1;
    glyph.stroke(arc(centre, radius, start, sweep));
    const QPointF base = onCircle(centre, radius, end);
    const QPointF outward = (base - centre) / radius;
    const QPointF tip = onCircle(centre, radius, end + direction * headDegrees);
    const qreal halfWidth = 3;
    glyph.fillRounded(polygon({base + outward * halfWidth, tip, base - outward * halfWidth}), 1);
}

Glyph arrowTriangle2Circlepath() {
    Glyph glyph;
    circularArrow(glyph, kCentre, 7.25, 180, -132);
    circularArrow(glyph, kCentre, 7.25, 0, -132);
    return glyph;
}

Glyph envelope() {
    Glyph glyph;
    glyph.stroke(roundedRect(QRectF(3.75, 5.25, 16.5, 13.5), 2));
    glyph.stroke(polyline({{4.5, 7}, {12, 12.75}, {19.5, 7}}));
    return glyph;
}

Glyph xmarkCircle() {
    Glyph glyph = circled();
    glyph.stroke(line(QPointF(9, 9), QPointF(15, 15)));
    glyph.stroke(line(QPointF(15, 9), QPointF(9, 15)));
    return glyph;
}

QPainterPath warningTriangle() {
    return polygon({{12, 3.75}, {21, 20.25}, {3, 20.25}});
}

Glyph exclamationmarkTriangle() {
    Glyph glyph;
    glyph.stroke(warningTriangle());
    glyph.fill(exclamationMark(12, 9.5, 13.75, 17, kStroke));
    return glyph;
}

Glyph exclamationmarkTriangleFill() {
    Glyph glyph;
    glyph.fillRounded(warningTriangle());
    glyph.cut(exclamationMark(12, 9.5, 13.75, 17, kStroke));
    return glyph;
}

Glyph earTrianglebadgeExclamationmark() {
    Glyph glyph;
    QPainterPath ear(QPointF(4.5, 10));
    ear.cubicTo(4.5, 5.5, 7.5, 2.75, 11, 2.75);
    ear.cubicTo(14.5, 2.75, 17.25, 5.5, 17.25, 9);
    ear.cubicTo(17.25, 11.75, 15, 12.75, 14, 14.5);
    ear.cubicTo(12.75, 16.75, 13, 20.5, 9.5, 20.5);
    ear.cubicTo(8, 20.5, 7, 19.75, 6.5, 18.75);
    glyph.stroke(ear);
    QPainterPath curl(QPointF(8.5, 12));
    curl.cubicTo(8.25, 11, 8.25, 10.25, 8.25, 9.75);
    curl.cubicTo(8.25, 7.75, 9.75, 6.75, 11.25, 6.75);
    curl.cubicTo(12.75, 6.75, 13.75, 7.75, 13.75, 9.25);
    glyph.stroke(curl);
    const QPainterPath badge = polygon({{17.75, 13}, {21, 20}, {14.5, 20}});
    glyph.cutStroke(badge, 4.5);
    glyph.fillRounded(badge);
    glyph.cut(exclamationMark(17.75, 15.5, 17.1, 19.25, 1.4));
    return glyph;
}

Glyph arrowUturnBackward() {
    Glyph glyph;
    QPainterPath path(QPointF(4.5, 8.5));
    path.lineTo(14.5, 8.5);
    path.arcTo(QRectF(9.25, 8.5, 10.5, 10.5), 90, -180);
    path.lineTo(8, 19);
    glyph.stroke(path);
    glyph.stroke(polyline({{8.5, 4.5}, {4.5, 8.5}, {8.5, 12.5}}));
    return glyph;
}

Glyph minusCircle() {
    Glyph glyph = circled();
    glyph.stroke(line(QPointF(8, 12), QPointF(16, 12)));
    return glyph;
}

Glyph plusCircle() {
    Glyph glyph = minusCircle();
    glyph.stroke(line(QPointF(12, 8), QPointF(12, 16)));
    return glyph;
}

Glyph checkmarkCircle() {
    Glyph glyph = circled();
    glyph.stroke(polyline({{8, 12.25}, {11, 15.25}, {16, 9}}));
    return glyph;
}

Glyph infoCircle() {
    Glyph glyph = circled();
    glyph.fill(circle(QPointF(12, 7.75), 1.25));
    glyph.stroke(line(QPointF(12, 11), QPointF(12, 16.5)));
    return glyph;
}

Glyph chevronUpChevronDown() {
    Glyph glyph;
    glyph.stroke(polyline({{8, 9}, {12, 5}, {16, 9}}));
    glyph.stroke(polyline({{8, 15}, {12, 19}, {16, 15}}));
    return glyph;
}

// Lines and keys sit on whole pixels at 16 points, where the keys would otherwise blur together.
Glyph keyboard() {
    Glyph glyph;
    glyph.stroke(roundedRect(QRectF(3.75, 5.25, 16.5, 12), 2.25));
    for (qreal y : {7.5, 10.5})
        for (qreal x : {6.0, 10.5, 15.0})
            glyph.fill(roundedRect(QRectF(x, y, 3, 1.5), 0.4));
    glyph.fill(roundedRect(QRectF(9, 13.5, 6, 1.5), 0.4));
    return glyph;
}

// The application's mark: a rounded square with a lens whose pupil holds a short waveform.
Glyph logo() {
    Glyph glyph;
    glyph.fill(roundedRect(QRectF(2, 2, 20, 20), 5.5));
    glyph.cut(circle(kCentre, 6.75));
    glyph.fill(circle(kCentre, 4.75));
    const qreal bar = 1.5;
    glyph.cutStroke(line(QPointF(9.75, 10.5), QPointF(9.75, 13.5)), bar);
    glyph.cutStroke(line(QPointF(12, 9), QPointF(12, 15)), bar);
    glyph.cutStroke(line(QPointF(14.25, 10.5), QPointF(14.25, 13.5)), bar);
    return glyph;
}

using Builder = Glyph (*)();

const std::map<std::string, Builder>& builders() {
    static const std::map<std::string, Builder> table = {
        {"mic.fill", micFill},
        {"sparkles", sparkles},
        {"power", power},
        {"power.circle", powerCircle},
        {"slider.vertical.3", [] { return sliders(true); }},
        {"slider.horizontal.3", [] { return sliders(false); }},
        {"headphones", headphones},
        {"speaker.wave.2", speakerWave2},
        {"video.fill", videoFill},
        {"video.badge.exclamationmark", videoBadgeExclamationmark},
        {"timer", timer},
        {"macwindow", macwindow},
        {"stopwatch", stopwatch},
        {"arrow.triangle.2.circlepath", arrowTriangle2Circlepath},
        {"envelope", envelope},
        {"xmark.circle", xmarkCircle},
        {"exclamationmark.triangle", exclamationmarkTriangle},
        {"exclamationmark.triangle.fill", exclamationmarkTriangleFill},
        {"ear.trianglebadge.exclamationmark", earTrianglebadgeExclamationmark},
        {"arrow.uturn.backward", arrowUturnBackward},
        {"minus.circle", minusCircle},
        {"plus.circle", plusCircle},
        {"checkmark.circle", checkmarkCircle},
        {"info.circle", infoCircle},
        {"chevron.up.chevron.down", chevronUpChevronDown},
        {"keyboard", keyboard},
        {"Logo", logo},
    };
    return table;
}

// The outline of a known name, built on first use and kept; null for an unknown name. Each thread keeps
// its own: a painted path fills its lazily computed bounds on first draw, so a shared one would race.
const QPainterPath* glyph(const std::string& name) {
    const auto builder = builders().find(name);
    if (builder == builders().end())
        return nullptr;
    thread_local std::map<std::string, QPainterPath> built;
    auto [entry, isNew] = built.try_emplace(name);
    if (isNew)
        entry->second = builder->second().path();
    return &entry->second;  // never changed again; map entries stay put
}

}  // namespace

QPixmap SymbolImage::pixmap(const std::string& name, int pointSize, const QColor& color, qreal devicePixelRatio) {
    if (pointSize <= 0)
        return {};
    const qreal ratio = devicePixelRatio > 0 ? devicePixelRatio : 1;
    const int side = std::max(1, qRound(pointSize * ratio));
    QPixmap image(side, side);
    image.fill(Qt::transparent);
    image.setDevicePixelRatio(ratio);
    if (hasSymbol(name)) {
        QPainter painter(&image);
        paint(painter, name, QRectF(0, 0, side / ratio, side / ratio), color);
    }
    return image;
}

QIcon SymbolImage::icon(const std::string& name, const QColor& color) {
    if (!hasSymbol(name))
        return {};
    QIcon result;
    for (qreal ratio : {1.0, 2.0})
        for (int size : {16, 20, 24, 32})
            result.addPixmap(pixmap(name, size, color, ratio));
    return result;
}

bool SymbolImage::hasSymbol(const std::string& name) {
    return builders().count(name) != 0;
}

std::vector<std::string> SymbolImage::names() {
    std::vector<std::string> result;
    for (const auto& entry : builders())
        result.push_back(entry.first);
    return result;
}

void SymbolImage::paint(QPainter& painter, const std::string& name, const QRectF& box, const QColor& color) {
    const QPainterPath* path = glyph(name);
    const qreal side = std::min(box.width(), box.height());
    if (path == nullptr || !(side > 0))
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(box.center().x() - side / 2, box.center().y() - side / 2);
    painter.scale(side / kGrid, side / kGrid);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawPath(*path);
    painter.restore();
}

}  // namespace velunto
