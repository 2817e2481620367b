#pragma once

#include <memory>

class QApplication;
class QTimer;

namespace velunto {

class NSApplicationDelegate;

// The application object over Qt's event loop. The dispatch layer's main queue runs inside that
// loop, so main-queue blocks and Qt events share the main thread.
class NSApplication {
public:
    // The process's application; the first call (on the main thread) makes the QApplication.
    static NSApplication& shared(int argc = 0, char** argv = nullptr);
    NSApplication(const NSApplication&) = delete;
    NSApplication& operator=(const NSApplication&) = delete;

    void setDelegate(std::weak_ptr<NSApplicationDelegate> delegate);
    // Runs the event loop until terminate(); returns the exit code.
    int run();
    // Tells the delegate the application will terminate, then ends run().
    void terminate();
    // Brings the application's windows in front of the one the user was in.
    void activateIgnoringOtherApps();

    QApplication& qApplication() { return *application_; }

private:
    NSApplication(int argc, char** argv);
    void pumpMainQueue();

    int argc_;
    char** argv_;
    std::unique_ptr<QApplication> application_;
    QTimer* deadlineTimer_ = nullptr;
    std::weak_ptr<NSApplicationDelegate> delegate_;
    bool terminating_ = false;
};

}  // namespace velunto
