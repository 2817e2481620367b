#include "app/ui/NoPluginUIHint.h"

#include "app/ui/PanelStyle.h"

namespace velunto {

NoPluginUIHint::NoPluginUIHint(QWidget* parent) : QLabel(QString::fromUtf8(kText), parent) {
    setAlignment(Qt::AlignCenter);
    setWordWrap(true);
    setMargin(PanelStyle::kMargin + 8);
    setMinimumSize(320, 120);
    QPalette secondary = palette();
    secondary.setColor(QPalette::WindowText, PanelStyle::secondaryText(secondary));
    setPalette(secondary);
}

}  // namespace velunto
