#pragma once

#include <QWidget>
#include <functional>
#include <string>

class QLabel;

namespace velunto {

class RowIcon;
class Switch;

// A row with an icon, a title and a switch. Flipping the switch calls onToggle; the row shows what
// setOn() says, so the application state stays the one truth.
class ToggleRow : public QWidget {
public:
    ToggleRow(std::string icon, const std::string& title, std::function<void(bool)> onToggle,
              QWidget* parent = nullptr);
    void setTitle(const std::string& title);
    void setOn(bool on);
    bool isOn() const;
    void setRowEnabled(bool enabled);
    Switch& toggle() { return *switch_; }
    QLabel& titleLabel() { return *title_; }

private:
    RowIcon* icon_;
    QLabel* title_;
    Switch* switch_;
};

}  // namespace velunto
