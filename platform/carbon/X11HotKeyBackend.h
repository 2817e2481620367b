#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/carbon/HotKeyBackend.h"
#include "platform/oslog/Logger.h"

struct _XDisplay;

namespace velunto {

// Hot keys as passive key grabs on the root window of the X server named by $DISPLAY. Each combination
// is also grabbed with NumLock and CapsLock on. A thread of its own waits on the connection and reports
// presses of grabbed keys to HotKeyCenter. Every Xlib call happens under mutex_.
class X11HotKeyBackend : public HotKeyBackend {
public:
    // nullptr when no X server is reachable.
    static std::shared_ptr<X11HotKeyBackend> open();
    ~X11HotKeyBackend() override;
    X11HotKeyBackend(const X11HotKeyBackend&) = delete;
    X11HotKeyBackend& operator=(const X11HotKeyBackend&) = delete;

    OSStatus grab(UInt32 keyCode, UInt32 modifiers) override;
    void ungrab(UInt32 keyCode, UInt32 modifiers) override;

    // The X keysym of a virtual key code (US layout), 0 for codes without one.
    static unsigned long keysymForKeyCode(UInt32 keyCode);
    // ControlMask, ShiftMask, Mod1Mask (option) and Mod4Mask (command).
    static unsigned int xModifiersFor(UInt32 modifiers);

private:
    struct Grab {
        unsigned int xKeyCode;
        unsigned int xModifiers;
        UInt32 keyCode;
        UInt32 modifiers;
    };

    X11HotKeyBackend(_XDisplay* display, int wakeRead, int wakeWrite);
    void run();
    void wake() const;
    std::vector<unsigned int> lockVariants() const;

    std::mutex mutex_;
    _XDisplay* display_;
    int wakeRead_;
    int wakeWrite_;
    unsigned int numLockMask_;
    std::vector<Grab> grabs_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> lost_{false};
    Logger logger_;
    std::thread thread_;
};

}  // namespace velunto
