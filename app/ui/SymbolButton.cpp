#include "app/ui/SymbolButton.h"

#include <QEvent>

#include "app/ui/PanelStyle.h"
#include "app/ui/SymbolImage.h"

namespace velunto {

SymbolButton::SymbolButton(std::string icon, const std::string& title, std::function<void()> action, Tint tint,
                           QWidget* parent)
    : QToolButton(parent), icon_(std::move(icon)), tint_(tint) {
    setText(QString::fromStdString(title));
    setAutoRaise(true);
    setCursor(Qt::PointingHandCursor);
    updateIcon();
    QObject::connect(this, &QToolButton::clicked, [action = std::move(action)] {
        if (action)
            action();
    });
}

void SymbolButton::changeEvent(QEvent* event) {
    QToolButton::changeEvent(event);
    if (event->type() == QEvent::EnabledChange || event->type() == QEvent::PaletteChange)
        updateIcon();
}

void SymbolButton::updateIcon() {
    const bool accent = tint_ == Tint::accentWhileEnabled && isEnabled();
    setIcon(SymbolImage::icon(icon_, accent ? PanelStyle::accent(palette()) : PanelStyle::secondaryText(palette())));
}

}  // namespace velunto
