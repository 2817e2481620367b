#pragma once

#include <memory>
#include <string>

#include "platform/appkit/NSWindowController.h"

class QWidget;

namespace velunto {

// An auxiliary window around a view: titled and closable only, fixed in size, centred when first
// shown, kept (not destroyed) when the user closes it so that the next showWindow() reuses it.
class HostingWindowController : public NSWindowController {
public:
    HostingWindowController(std::unique_ptr<QWidget> rootView, const std::string& title);
    ~HostingWindowController() override;
    HostingWindowController(const HostingWindowController&) = delete;
    HostingWindowController& operator=(const HostingWindowController&) = delete;

    // Shows the window in front of every other application's, and gives it the keyboard.
    void showWindow() override;
    bool isWindowVisible() const override;
    void close() override;
    QWidget& window();

private:
    class Window;
    std::unique_ptr<Window> window_;
};

}  // namespace velunto
