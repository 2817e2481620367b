#include "app/ui/FooterButton.h"

#include <QEvent>

#include "app/ui/PanelStyle.h"
#include "app/ui/SymbolImage.h"

namespace velunto {

FooterButton::FooterButton(std::string icon, const std::string& title, std::function<void()> action, QWidget* parent)
    : QToolButton(parent), icon_(std::move(icon)) {
    setText(QString::fromStdString(title));
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    setAutoRaise(true);
    setIconSize(QSize(14, 14));
    setFont(PanelStyle::font(9));
    setCursor(Qt::PointingHandCursor);
    updateIcon();
    QObject::connect(this, &QToolButton::clicked, [action = std::move(action)] {
        if (action)
            action();
    });
}

void FooterButton::changeEvent(QEvent* event) {
    QToolButton::changeEvent(event);
    if (event->type() == QEvent::EnabledChange || event->type() == QEvent::PaletteChange)
        updateIcon();
}

void FooterButton::updateIcon() {
    setIcon(SymbolImage::icon(icon_, PanelStyle::secondaryText(palette())));
}

}  // namespace velunto
