#pragma once

#include <QToolButton>
#include <functional>
#include <string>

namespace velunto {

// A flat button with one of our symbols and a title, calling its action when clicked. The symbol is
// drawn again when the button is switched on or off and when the palette changes.
class SymbolButton : public QToolButton {
public:
    enum class Tint { accentWhileEnabled, secondary };

    SymbolButton(std::string icon, const std::string& title, std::function<void()> action, Tint tint,
                 QWidget* parent = nullptr);

protected:
    void changeEvent(QEvent* event) override;

private:
    void updateIcon();

    std::string icon_;
    Tint tint_;
};

}  // namespace velunto
