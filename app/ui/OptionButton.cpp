#include "app/ui/OptionButton.h"

namespace velunto {

OptionButton::OptionButton(const std::string& title, bool isSelected, std::function<void()> action, QObject* parent)
    : QAction(QString::fromStdString(title), parent) {
    setCheckable(true);
    setChecked(isSelected);
    QObject::connect(this, &QAction::triggered, [action = std::move(action)] {
        if (action)
            action();
    });
}

}  // namespace velunto
