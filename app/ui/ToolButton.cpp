#include "app/ui/ToolButton.h"

#include "app/ui/PanelStyle.h"

namespace velunto {

ToolButton::ToolButton(std::string icon, const std::string& title, std::function<void()> action, QWidget* parent)
    : SymbolButton(std::move(icon), title, std::move(action), Tint::accentWhileEnabled, parent) {
    setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    setIconSize(QSize(20, 20));
    setFont(PanelStyle::font(9));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setMinimumHeight(52);
}

}  // namespace velunto
