#include "app/ui/Card.h"

#include <QPainter>
#include <QVBoxLayout>

#include "app/ui/PanelStyle.h"

namespace velunto {

Card::Card(QWidget* parent) : QFrame(parent), layout_(new QVBoxLayout(this)) {
    layout_->setContentsMargins(0, 4, 0, 4);
    layout_->setSpacing(0);
}

void Card::addRow(QWidget* row) {
    layout_->addWidget(row);
}

void Card::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(PanelStyle::separator(palette()), 1));
    painter.setBrush(PanelStyle::cardBackground(palette()));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), PanelStyle::kCardRadius,
                            PanelStyle::kCardRadius);
}

}  // namespace velunto
