#pragma once

#include <QToolButton>
#include <functional>
#include <string>

namespace velunto {

// A small button with its icon over its title, for the panel's tools.
class ToolButton : public QToolButton {
public:
    ToolButton(std::string icon, const std::string& title, std::function<void()> action, QWidget* parent = nullptr);

protected:
    void changeEvent(QEvent* event) override;

private:
    void updateIcon();
    std::string icon_;
};

}  // namespace velunto
