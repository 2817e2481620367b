#include "app/ui/PickerRow.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPainter>

#include "app/ui/OptionButton.h"
#include "app/ui/PanelStyle.h"
#include "app/ui/RowIcon.h"

namespace velunto {

PickerRow::PickerRow(std::string icon, const std::string& title, Options options, QWidget* parent)
    : QWidget(parent),
      options_(std::move(options)),
      title_(new QLabel(QString::fromStdString(title), this)),
      valueLabel_(new QLabel(this)),
      chevron_(new RowIcon("chevron.up.chevron.down", this)) {
    setFixedHeight(PanelStyle::kRowHeight);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setAccessibleName(title_->text());
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(PanelStyle::kRowPadding, 0, PanelStyle::kRowPadding - 2, 0);
    layout->setSpacing(8);
    layout->addWidget(new RowIcon(std::move(icon), this));
    layout->addWidget(title_);
    layout->addWidget(valueLabel_, 1);
    layout->addWidget(chevron_);
    title_->setFont(PanelStyle::font(10));
    valueLabel_->setFont(PanelStyle::font(10));
    valueLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    valueLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    valueLabel_->setTextFormat(Qt::PlainText);
    PanelStyle::markSecondary(*valueLabel_);
    chevron_->setEnabled(false);
}

void PickerRow::setValue(const std::string& value) {
    value_ = QString::fromStdString(value);
    valueLabel_->setToolTip(value_);
    elideValue();
}

QString PickerRow::value() const {
    return value_;
}

void PickerRow::elideValue() {
    const int room = std::max(0, valueLabel_->width());
    valueLabel_->setText(valueLabel_->fontMetrics().elidedText(value_, Qt::ElideRight, room));
}

QMenu* PickerRow::makeMenu(QWidget* parent) const {
    auto* menu = new QMenu(parent);
    for (const auto& item : options_ ? options_() : std::vector<PanelMenuItem>{}) {
        switch (item.kind) {
            case PanelMenuItem::Kind::divider:
                menu->addSeparator();
                break;
            case PanelMenuItem::Kind::option:
                menu->addAction(new OptionButton(item.title, item.isSelected, item.action, menu));
                break;
            case PanelMenuItem::Kind::button: {
                QAction* action = menu->addAction(QString::fromStdString(item.title));
                QObject::connect(action, &QAction::triggered, [run = item.action] {
                    if (run)
                        run();
                });
                break;
            }
        }
    }
    return menu;
}

void PickerRow::openMenu() {
    QMenu* menu = makeMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(mapToGlobal(QPoint(width() - menu->sizeHint().width() - PanelStyle::kRowPadding, height())));
}

void PickerRow::mousePressEvent(QMouseEvent*) {
    if (isEnabled())
        openMenu();
}

void PickerRow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        openMenu();
    else
        QWidget::keyPressEvent(event);
}

void PickerRow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    elideValue();
}

void PickerRow::paintEvent(QPaintEvent*) {
    if (!hasFocus())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(PanelStyle::accent(palette()), 1.5));
    painter.drawRoundedRect(QRectF(rect()).adjusted(3, 2, -3, -2), 6, 6);
}

}  // namespace velunto
