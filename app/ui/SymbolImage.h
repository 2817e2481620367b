#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QRectF>
#include <string>
#include <vector>

class QPainter;

namespace velunto {

// The application's own drawings of the symbol names used by the panel and the windows ("mic.fill",
// "sparkles", ... and "Logo"). Line icons on a 24-unit grid with a stroke of 2 units, scaled to the
// requested size; every icon is one filled outline, so translucent colours stay even where lines meet.
class SymbolImage {
public:
    // The icon of a symbol name drawn in `color`, `pointSize` points square, crisp at the device pixel
    // ratio (the pixmap carries that ratio). An unknown name gives a transparent pixmap of that size.
    static QPixmap pixmap(const std::string& name, int pointSize, const QColor& color, qreal devicePixelRatio);
    // The icon at 16, 20, 24 and 32 points, each at 1x and 2x; a null icon for an unknown name.
    static QIcon icon(const std::string& name, const QColor& color);
    static bool hasSymbol(const std::string& name);
    // Every known name, sorted.
    static std::vector<std::string> names();
    // Paints the icon centred in the largest square inside `box`; nothing for an unknown name.
    static void paint(QPainter& painter, const std::string& name, const QRectF& box, const QColor& color);
};

}  // namespace velunto
