#include "app/ui/PanelStyle.h"

#include <QApplication>
#include <QLabel>

namespace velunto::PanelStyle {

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

QColor cardBackground(const QPalette& palette) {
    const QColor window = palette.color(QPalette::Window);
    return isDark(palette) ? window.lighter(135) : window.lighter(106);
}

QColor separator(const QPalette& palette) {
    QColor color = palette.color(QPalette::WindowText);
    color.setAlphaF(isDark(palette) ? 0.16f : 0.10f);
    return color;
}

QColor secondaryText(const QPalette& palette) {
    QColor color = palette.color(QPalette::WindowText);
    color.setAlphaF(0.6f);
    return color;
}

QColor accent(const QPalette& palette) {
    return palette.color(QPalette::Highlight);
}

QColor warning(const QPalette& palette) {
    return isDark(palette) ? QColor(255, 179, 64) : QColor(201, 110, 0);
}

QFont font(int pointSize, QFont::Weight weight) {
    QFont font = QApplication::font();
    font.setPointSize(pointSize);
    font.setWeight(weight);
    return font;
}

QFont monospacedDigitFont(int pointSize, QFont::Weight weight) {
    // The desktop's sans-serif faces (DejaVu, Noto, Cantarell) set digits at equal widths already.
    return PanelStyle::font(pointSize, weight);
}

namespace {

constexpr const char* kSecondaryProperty = "veluntoSecondary";

void applySecondary(QLabel& label, QPalette palette) {
    palette.setColor(QPalette::WindowText, secondaryText(palette));
    label.setPalette(palette);
}

}  // namespace

void markSecondary(QLabel& label) {
    label.setProperty(kSecondaryProperty, true);
    applySecondary(label, label.parentWidget() ? label.parentWidget()->palette() : QApplication::palette());
}

void refreshSecondary(QWidget& root) {
    for (QLabel* label : root.findChildren<QLabel*>())
        if (label->property(kSecondaryProperty).toBool())
            applySecondary(*label, root.palette());  // the children's palettes may not have followed yet
}

}  // namespace velunto::PanelStyle
