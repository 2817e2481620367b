#include "platform/appkit/NSApplication.h"

#include <sys/socket.h>
#include <unistd.h>
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <csignal>

#include "platform/appkit/NSApplicationDelegate.h"
#include "platform/dispatch/DispatchTime.h"
#include "platform/dispatch/MainRunLoop.h"

namespace velunto {

namespace {

int storedArgc = 1;
char defaultName[] = "velunto";
char* defaultArgv[] = {defaultName, nullptr};

// A termination signal (logout, kill, Ctrl-C) reaches the event loop as a byte on this pair.
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
}

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
    // Ended by a signal, the application quits as if the user had chosen to, so nothing is lost.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) == 0) {
        auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, application_.get());
        QObject::connect(notifier, &QSocketNotifier::activated, [this] {
            char bytes[16];
            while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
            }
            terminate();
        });
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int signal : {SIGTERM, SIGINT, SIGHUP})
            sigaction(signal, &action, nullptr);
    }
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
    terminating_ = false;
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
