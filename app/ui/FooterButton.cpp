#include "app/ui/FooterButton.h"

#include "app/ui/PanelStyle.h"

namespace velunto {

FooterButton::FooterButton(std::string icon, const std::string& title, std::function<void()> action, QWidget* parent)
    : SymbolButton(std::move(icon), title, std::move(action), Tint::secondary, parent) {
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    setIconSize(QSize(14, 14));
    setFont(PanelStyle::font(9));
}

}  // namespace velunto
