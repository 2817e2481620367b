#include "platform/appkit/NSApplication.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <algorithm>

#include "platform/appkit/NSApplicationDelegate.h"
#include "platform/dispatch/DispatchTime.h"
#include "platform/dispatch/MainRunLoop.h"

namespace velunto {

namespace {

int storedArgc = 1;
char defaultName[] = "velunto";
char* defaultArgv[] = {defaultName, nullptr};

}  // namespace

NSApplication& NSApplication::shared(int argc, char** argv) {
    // Lives until the process ends and is never destroyed: Qt's own globals go first at exit, and a
    // QApplication destroyed after them crashes.
    static NSApplication* const application = new NSApplication(argc > 0 ? argc : 1, argv ? argv : defaultArgv);
    return *application;
}

NSApplication::NSApplication(int argc, char** argv) : argc_(argc), argv_(argv) {
    storedArgc = argc_;
    MainRunLoop::attachCurrentThread();
    application_ = std::make_unique<QApplication>(storedArgc, argv_);
    application_->setQuitOnLastWindowClosed(false);
    deadlineTimer_ = new QTimer(application_.get());
    deadlineTimer_->setSingleShot(true);
    deadlineTimer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(deadlineTimer_, &QTimer::timeout, [this] { pumpMainQueue(); });
    // A block queued from any thread wakes the event loop, which then runs the due blocks.
    MainRunLoop::setWakeUpHandler([app = application_.get(), this] {
        QMetaObject::invokeMethod(
            app, [this] { pumpMainQueue(); }, Qt::QueuedConnection);
    });
}

void NSApplication::pumpMainQueue() {
    MainRunLoop::performDueItems();
    if (const auto next = MainRunLoop::nextDeadline()) {
        const std::uint64_t now = DispatchTime::now().uptimeNanoseconds;
        const std::uint64_t wait = next->uptimeNanoseconds > now ? next->uptimeNanoseconds - now : 0;
        // Round up, so that the timer never fires before the block is due.
        deadlineTimer_->start(static_cast<int>(std::min<std::uint64_t>((wait + 999'999) / 1'000'000, 60'000)));
    }
}

void NSApplication::setDelegate(std::weak_ptr<NSApplicationDelegate> delegate) {
    delegate_ = std::move(delegate);
}

int NSApplication::run() {
    QMetaObject::invokeMethod(
        application_.get(),
        [this] {
            if (const auto delegate = delegate_.lock())
                delegate->applicationDidFinishLaunching();
            pumpMainQueue();
        },
        Qt::QueuedConnection);
    return application_->exec();
}

void NSApplication::terminate() {
    if (terminating_)
        return;
    terminating_ = true;
    if (const auto delegate = delegate_.lock())
        delegate->applicationWillTerminate();
    application_->quit();
}

void NSApplication::activateIgnoringOtherApps() {
    if (QWidget* window = QApplication::activeWindow())
        window->activateWindow();
}

}  // namespace velunto
