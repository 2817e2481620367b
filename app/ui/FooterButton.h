#pragma once

#include "app/ui/SymbolButton.h"

namespace velunto {

// A quiet text button with a small icon, for the panel's footer.
class FooterButton : public SymbolButton {
public:
    FooterButton(std::string icon, const std::string& title, std::function<void()> action, QWidget* parent = nullptr);
};

}  // namespace velunto
