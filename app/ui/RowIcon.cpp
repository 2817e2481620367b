#include "app/ui/RowIcon.h"

#include <QPainter>

#include "app/ui/PanelStyle.h"
#include "app/ui/SymbolImage.h"

namespace velunto {

RowIcon::RowIcon(std::string name, QWidget* parent) : QWidget(parent), name_(std::move(name)) {
    setFixedSize(PanelStyle::kIconSize + 4, PanelStyle::kIconSize + 4);
}

void RowIcon::setName(std::string name) {
    name_ = std::move(name);
    update();
}

void RowIcon::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor color = isEnabled() ? PanelStyle::accent(palette()) : PanelStyle::secondaryText(palette());
    SymbolImage::paint(painter, name_, QRectF(rect()).adjusted(2, 2, -2, -2), color);
}

}  // namespace velunto
