#include "app/ui/CardDivider.h"

#include <QPainter>

#include "app/ui/PanelStyle.h"

namespace velunto {

CardDivider::CardDivider(QWidget* parent) : QWidget(parent) {
    setFixedHeight(1);
}

void CardDivider::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(QRect(PanelStyle::kRowTextInset, 0, width() - PanelStyle::kRowTextInset, 1),
                     PanelStyle::separator(palette()));
}

}  // namespace velunto
