#include "app/ui/OptionButton.h"

namespace velunto {

OptionButton::OptionButton(const std::string& title, bool isSelected, std::function<void()> action, QObject* parent)
    // An ampersand is a menu's mnemonic marker; a device or plug-in name means it literally.
    : QAction(QString::fromStdString(title).replace(QLatin1Char('&'), QStringLiteral("&&")), parent) {
    setCheckable(true);
    setChecked(isSelected);
    QObject::connect(this, &QAction::triggered, [action = std::move(action)] {
        if (action)
            action();
    });
}

}  // namespace velunto
