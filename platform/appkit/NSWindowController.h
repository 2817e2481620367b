#pragma once

#include <functional>

namespace velunto {

// A window's controller as the application state sees it: it can show the window in front, tell
// whether it is on screen and close it; onClose is called when the window is about to close, by the
// user or through close(). The user interface implements it over its toolkit.
class NSWindowController {
public:
    virtual ~NSWindowController() = default;
    virtual void showWindow() = 0;
    virtual bool isWindowVisible() const = 0;
    virtual void close() = 0;

    std::function<void()> onClose;
};

}  // namespace velunto
