#include "app/ui/ToolButton.h"

#include <QEvent>

#include "app/ui/PanelStyle.h"
#include "app/ui/SymbolImage.h"

namespace velunto {

ToolButton::ToolButton(std::string icon, const std::string& title, std::function<void()> action, QWidget* parent)
    : QToolButton(parent), icon_(std::move(icon)) {
    setText(QString::fromStdString(title));
    setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    setAutoRaise(true);
    setIconSize(QSize(20, 20));
    setFont(PanelStyle::font(9));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setMinimumHeight(52);
    setCursor(Qt::PointingHandCursor);
    updateIcon();
    QObject::connect(this, &QToolButton::clicked, [action = std::move(action)] {
        if (action)
            action();
    });
}

void ToolButton::changeEvent(QEvent* event) {
    QToolButton::changeEvent(event);
    if (event->type() == QEvent::EnabledChange || event->type() == QEvent::PaletteChange)
        updateIcon();
}

void ToolButton::updateIcon() {
    setIcon(
        SymbolImage::icon(icon_, isEnabled() ? PanelStyle::accent(palette()) : PanelStyle::secondaryText(palette())));
}

}  // namespace velunto
