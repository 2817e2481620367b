#pragma once

#include <QAction>
#include <functional>
#include <string>

namespace velunto {

// A menu entry with a check mark when it is the current choice.
class OptionButton : public QAction {
public:
    OptionButton(const std::string& title, bool isSelected, std::function<void()> action, QObject* parent);
};

}  // namespace velunto
