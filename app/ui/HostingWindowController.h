#pragma once

#include <functional>
#include <memory>
#include <string>

class QWidget;

namespace velunto {

// An auxiliary window around a view: titled and closable only, fixed in size, centred when first
// shown, kept (not destroyed) when the user closes it so that the next showWindow() reuses it.
class HostingWindowController {
public:
    HostingWindowController(std::unique_ptr<QWidget> rootView, const std::string& title);
    ~HostingWindowController();
    HostingWindowController(const HostingWindowController&) = delete;
    HostingWindowController& operator=(const HostingWindowController&) = delete;

    // Shows the window in front of every other application's, and gives it the keyboard.
    void showWindow();
    QWidget& window();

    // Called when the window is about to close.
    std::function<void()> onClose;

private:
    class Window;
    std::unique_ptr<Window> window_;
};

}  // namespace velunto
