#pragma once

#include "app/ui/SymbolButton.h"

namespace velunto {

// A small button with its icon over its title, for the panel's tools.
class ToolButton : public SymbolButton {
public:
    ToolButton(std::string icon, const std::string& title, std::function<void()> action, QWidget* parent = nullptr);
};

}  // namespace velunto
