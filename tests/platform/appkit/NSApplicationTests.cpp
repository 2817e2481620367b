#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <memory>

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSApplicationDelegate.h"

using namespace velunto;

namespace {

struct CountingDelegate : NSApplicationDelegate {
    int signal = SIGTERM;
    int launched = 0;
    int terminated = 0;
    void applicationDidFinishLaunching() override {
        ++launched;
        std::raise(signal);
    }
    void applicationWillTerminate() override { ++terminated; }
};

// Logout, kill and Ctrl-C quit like the menu's quit: the delegate saves, run() returns.
TEST(NSApplicationTest, TerminationSignalsQuitThroughTheDelegate) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    NSApplication& application = NSApplication::shared();
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        auto delegate = std::make_shared<CountingDelegate>();
        delegate->signal = signal;
        application.setDelegate(delegate);
        EXPECT_EQ(application.run(), 0) << signal;
        EXPECT_EQ(delegate->launched, 1) << signal;
        EXPECT_EQ(delegate->terminated, 1) << signal;
    }
}

}  // namespace
