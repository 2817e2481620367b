// GoogleTest first: Xlib defines None, Bool and Status as macros.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>

#include "platform/carbon/CarbonEvents.h"
#include "platform/carbon/X11HotKeyBackend.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/oslog/LogCapture.h"
#include "tests/platform/carbon/HotKeyRecorder.h"
#include "tests/support/XvfbServer.h"

namespace velunto {
namespace {

using namespace std::chrono_literals;

constexpr UInt32 kKeyK = 0x28;
constexpr UInt32 kKeyJ = 0x26;
constexpr UInt32 kKeyF5 = 0x60;

std::atomic<Display*> testerDisplay{nullptr};
std::atomic<int> testerError{0};

int recordTesterError(Display* display, XErrorEvent* event) {
    if (display == testerDisplay.load())
        testerError.store(event->error_code);
    return 0;
}

// One Xvfb for the suite; the test talks to it over a connection of its own, pressing keys through XTest.
class X11HotKeysTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        xvfbPath = XvfbServer::find();
        if (!xvfbPath) {
            skipReason = "Xvfb is not installed; the X11 hot-key tests need it";
            return;
        }
        server = std::make_unique<XvfbServer>(*xvfbPath, "320x240x24");
        ASSERT_TRUE(server->running()) << "Xvfb did not report a display";
        if (const char* old = std::getenv("DISPLAY"))
            savedDisplay = old;
        ::setenv("DISPLAY", server->display().c_str(), 1);
        XSetErrorHandler(recordTesterError);
    }

    static void TearDownTestSuite() {
        server.reset();
        if (savedDisplay)
            ::setenv("DISPLAY", savedDisplay->c_str(), 1);
        else
            ::unsetenv("DISPLAY");
    }

    void SetUp() override {
        if (!skipReason.empty())
            GTEST_SKIP() << skipReason;
        ASSERT_TRUE(server && server->running());
        tester = XOpenDisplay(nullptr);
        ASSERT_NE(tester, nullptr) << "cannot connect to " << std::getenv("DISPLAY");
        testerDisplay.store(tester);
        testerError.store(0);
        ASSERT_EQ(recorder.install(), noErr);
    }

    void TearDown() override {
        for (EventHotKeyRef ref : refs)
            UnregisterEventHotKey(ref);
        if (tester != nullptr) {
            if ((lockState() & Mod2Mask) != 0)
                tap({}, XK_Num_Lock);
            if ((lockState() & LockMask) != 0)
                tap({}, XK_Caps_Lock);
            testerDisplay.store(nullptr);
            XCloseDisplay(tester);
        }
    }

    OSStatus registerKey(UInt32 keyCode, UInt32 modifiers, UInt32 id) {
        EventHotKeyRef ref = nullptr;
        const OSStatus status =
            RegisterEventHotKey(keyCode, modifiers, {'VLNT', id}, GetApplicationEventTarget(), 0, &ref);
        if (status == noErr)
            refs.push_back(ref);
        return status;
    }

    void tap(std::initializer_list<KeySym> modifiers, KeySym key) {
        for (const KeySym modifier : modifiers)
            XTestFakeKeyEvent(tester, XKeysymToKeycode(tester, modifier), True, 0);
        XTestFakeKeyEvent(tester, XKeysymToKeycode(tester, key), True, 0);
        XTestFakeKeyEvent(tester, XKeysymToKeycode(tester, key), False, 0);
        for (auto it = std::rbegin(modifiers); it != std::rend(modifiers); ++it)
            XTestFakeKeyEvent(tester, XKeysymToKeycode(tester, *it), False, 0);
        XSync(tester, False);
    }

    unsigned int lockState() {
        Window root = 0;
        Window child = 0;
        int x = 0, y = 0, wx = 0, wy = 0;
        unsigned int mask = 0;
        XQueryPointer(tester, DefaultRootWindow(tester), &root, &child, &x, &y, &wx, &wy, &mask);
        return mask & (LockMask | Mod2Mask);
    }

    // Drives the main queue until `count` presses arrived (or a generous bound passed).
    bool waitForPresses(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (recorder.ids.size() < count && std::chrono::steady_clock::now() < deadline)
            MainRunLoop::runFor(20ms);
        return recorder.ids.size() >= count;
    }

    static inline std::optional<std::string> xvfbPath;
    static inline std::unique_ptr<XvfbServer> server;
    static inline std::string skipReason;
    static inline std::optional<std::string> savedDisplay;

    Display* tester = nullptr;
    HotKeyRecorder recorder;
    std::vector<EventHotKeyRef> refs;
};

TEST_F(X11HotKeysTest, GrabbedKeysReachTheHandlerUntilUnregistered) {
    ASSERT_EQ(registerKey(kKeyK, cmdKey | shiftKey, 7), noErr);
    ASSERT_EQ(registerKey(kKeyF5, optionKey, 8), noErr);
    EXPECT_EQ(registerKey(kKeyK, cmdKey | shiftKey, 9), eventHotKeyExistsErr);

    tap({XK_Super_L, XK_Shift_L}, XK_k);
    ASSERT_TRUE(waitForPresses(1));
    tap({XK_Shift_L}, XK_k);  // not registered
    tap({XK_Alt_L}, XK_F5);
    ASSERT_TRUE(waitForPresses(2));
    EXPECT_EQ(recorder.ids, (std::vector<UInt32>{7, 8}));
    EXPECT_TRUE(recorder.allOnMainQueue);

    ASSERT_EQ(UnregisterEventHotKey(refs[0]), noErr);
    refs.erase(refs.begin());
    tap({XK_Super_L, XK_Shift_L}, XK_k);
    tap({XK_Alt_L}, XK_F5);  // arrives after the K press would have
    ASSERT_TRUE(waitForPresses(3));
    EXPECT_EQ(recorder.ids, (std::vector<UInt32>{7, 8, 8}));
}

TEST_F(X11HotKeysTest, NumLockAndCapsLockDoNotBreakAShortcut) {
    ASSERT_EQ(registerKey(kKeyJ, controlKey | optionKey, 3), noErr);
    tap({}, XK_Num_Lock);
    ASSERT_EQ(lockState(), unsigned{Mod2Mask});
    tap({XK_Control_L, XK_Alt_L}, XK_j);
    ASSERT_TRUE(waitForPresses(1));

    tap({}, XK_Caps_Lock);
    ASSERT_EQ(lockState(), unsigned{LockMask | Mod2Mask});
    tap({XK_Control_L, XK_Alt_L}, XK_j);
    ASSERT_TRUE(waitForPresses(2));

    tap({}, XK_Num_Lock);
    ASSERT_EQ(lockState(), unsigned{LockMask});
    tap({XK_Control_L, XK_Alt_L}, XK_j);
    ASSERT_TRUE(waitForPresses(3));
    tap({}, XK_Caps_Lock);
    EXPECT_EQ(lockState(), 0u);
    EXPECT_EQ(recorder.ids, (std::vector<UInt32>{3, 3, 3}));
}

TEST_F(X11HotKeysTest, CombinationHeldByAnotherClientIsRefusedWithoutLeftovers) {
    ASSERT_EQ(registerKey(kKeyK, controlKey | optionKey, 1), noErr);  // keeps our connection open
    const KeyCode j = XKeysymToKeycode(tester, XK_j);
    const Window root = DefaultRootWindow(tester);
    XGrabKey(tester, j, ControlMask | Mod1Mask, root, False, GrabModeAsync, GrabModeAsync);
    XSync(tester, False);
    ASSERT_EQ(testerError.load(), 0);

    EXPECT_EQ(registerKey(kKeyJ, controlKey | optionKey, 2), eventHotKeyExistsErr);

    // None of the lock variants may stay grabbed by us: the other client can take all of them.
    XUngrabKey(tester, j, ControlMask | Mod1Mask, root);
    for (const unsigned int variant : {0u, unsigned{LockMask}, unsigned{Mod2Mask}, unsigned{LockMask | Mod2Mask}})
        XGrabKey(tester, j, ControlMask | Mod1Mask | variant, root, False, GrabModeAsync, GrabModeAsync);
    XSync(tester, False);
    EXPECT_EQ(testerError.load(), 0);
    XUngrabKey(tester, j, AnyModifier, root);
    XSync(tester, False);

    EXPECT_EQ(registerKey(kKeyJ, controlKey | optionKey, 2), noErr);
    tap({XK_Control_L, XK_Alt_L}, XK_j);
    ASSERT_TRUE(waitForPresses(1));
    EXPECT_EQ(recorder.ids, (std::vector<UInt32>{2}));
}

TEST_F(X11HotKeysTest, WithoutAServerRegistrationFailsAndEachOutageIsLoggedOnce) {
    LogCapture logs;
    const auto outage = [&] {
        ::unsetenv("DISPLAY");
        const OSStatus first = registerKey(kKeyK, cmdKey, 1);
        const OSStatus second = registerKey(kKeyJ, cmdKey, 2);
        ::setenv("DISPLAY", server->display().c_str(), 1);
        return first == eventInternalErr && second == eventInternalErr;
    };
    const auto connectOnce = [&] {
        const bool registered = registerKey(kKeyK, cmdKey, 3) == noErr;
        for (EventHotKeyRef ref : refs)
            UnregisterEventHotKey(ref);
        refs.clear();
        return registered;
    };
    ASSERT_TRUE(connectOnce());
    logs.clear();
    ASSERT_TRUE(outage());
    ASSERT_TRUE(outage());
    EXPECT_EQ(logs.entries("HotKeys").size(), 1u);
    ASSERT_TRUE(connectOnce());
    ASSERT_TRUE(outage());
    ASSERT_EQ(logs.entries("HotKeys").size(), 2u);
    EXPECT_EQ(logs.entries("HotKeys")[1].type, OSLogType::info);
}

TEST_F(X11HotKeysTest, EveryVirtualKeyHasAKeyOfItsOwn) {
    std::set<KeySym> keysyms;
    std::set<KeyCode> keys;
    for (UInt32 keyCode = 0; keyCode < 0x80; ++keyCode) {
        const KeySym keysym = X11HotKeyBackend::keysymForKeyCode(keyCode);
        if (keysym == NoSymbol)
            continue;
        keysyms.insert(keysym);
        const KeyCode key = XKeysymToKeycode(tester, keysym);
        EXPECT_NE(key, 0) << XKeysymToString(keysym);
        keys.insert(key);
    }
    EXPECT_EQ(keysyms.size(), 69u);  // the documented US-layout codes
    EXPECT_EQ(keys.size(), 69u);
    EXPECT_EQ(X11HotKeyBackend::keysymForKeyCode(0x34), unsigned{NoSymbol});  // a gap in the table
}

TEST_F(X11HotKeysTest, LosingTheServerEndsHotKeysButNotTheProcess) {
#ifdef VELUNTO_TSAN
    GTEST_SKIP() << "libX11 releases its display lock twice on a lost connection, which ThreadSanitizer reports";
#endif
    XvfbServer doomed(*xvfbPath, "320x240x24");
    ASSERT_TRUE(doomed.running());
    ::setenv("DISPLAY", doomed.display().c_str(), 1);
    LogCapture logs;
    const OSStatus registered = registerKey(kKeyK, cmdKey, 1);
    ::setenv("DISPLAY", server->display().c_str(), 1);
    ASSERT_EQ(registered, noErr);

    doomed.stop();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (logs.entries("HotKeys").empty() && std::chrono::steady_clock::now() < deadline)
        MainRunLoop::runFor(20ms);
    ASSERT_EQ(logs.entries("HotKeys").size(), 1u);
    EXPECT_EQ(logs.entries("HotKeys")[0].type, OSLogType::error);
    EXPECT_EQ(registerKey(kKeyJ, cmdKey, 2), eventInternalErr);

    // With the last registration gone the next one connects afresh, to the server $DISPLAY names now.
    ASSERT_EQ(UnregisterEventHotKey(refs[0]), noErr);
    refs.clear();
    ASSERT_EQ(registerKey(kKeyJ, cmdKey, 2), noErr);
    tap({XK_Super_L}, XK_j);
    ASSERT_TRUE(waitForPresses(1));
    EXPECT_EQ(recorder.ids, (std::vector<UInt32>{2}));
}

}  // namespace
}  // namespace velunto
