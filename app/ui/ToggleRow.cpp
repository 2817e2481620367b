#include "app/ui/ToggleRow.h"

#include <QHBoxLayout>
#include <QLabel>

#include "app/ui/PanelStyle.h"
#include "app/ui/RowIcon.h"
#include "app/ui/Switch.h"

namespace velunto {

ToggleRow::ToggleRow(std::string icon, const std::string& title, std::function<void(bool)> onToggle, QWidget* parent)
    : QWidget(parent), icon_(new RowIcon(std::move(icon), this)), title_(new QLabel(this)), switch_(new Switch(this)) {
    setFixedHeight(PanelStyle::kRowHeight);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(PanelStyle::kRowPadding, 0, PanelStyle::kRowPadding, 0);
    layout->setSpacing(8);
    layout->addWidget(icon_);
    layout->addWidget(title_, 1);
    layout->addWidget(switch_);
    title_->setFont(PanelStyle::font(10));
    setTitle(title);
    QObject::connect(switch_, &QAbstractButton::clicked, [this, onToggle = std::move(onToggle)](bool checked) {
        if (onToggle)
            onToggle(checked);
    });
}

void ToggleRow::setTitle(const std::string& title) {
    title_->setText(QString::fromStdString(title));
    switch_->setAccessibleName(title_->text());
}

void ToggleRow::setOn(bool on) {
    switch_->setChecked(on);
}

bool ToggleRow::isOn() const {
    return switch_->isChecked();
}

void ToggleRow::setRowEnabled(bool enabled) {
    switch_->setEnabled(enabled);
    icon_->setEnabled(enabled);
    title_->setEnabled(enabled);
}

}  // namespace velunto
