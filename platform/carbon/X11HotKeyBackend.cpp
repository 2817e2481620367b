#include "platform/carbon/X11HotKeyBackend.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/carbon/HotKeyCenter.h"

namespace velunto {

namespace {

struct KeyMapping {
    UInt32 keyCode;
    KeySym keysym;
};

constexpr KeyMapping kKeyMap[] = {
    {0x00, XK_a},         {0x01, XK_s},         {0x02, XK_d},           {0x03, XK_f},          {0x04, XK_h},
    {0x05, XK_g},         {0x06, XK_z},         {0x07, XK_x},           {0x08, XK_c},          {0x09, XK_v},
    {0x0B, XK_b},         {0x0C, XK_q},         {0x0D, XK_w},           {0x0E, XK_e},          {0x0F, XK_r},
    {0x10, XK_y},         {0x11, XK_t},         {0x12, XK_1},           {0x13, XK_2},          {0x14, XK_3},
    {0x15, XK_4},         {0x16, XK_6},         {0x17, XK_5},           {0x18, XK_equal},      {0x19, XK_9},
    {0x1A, XK_7},         {0x1B, XK_minus},     {0x1C, XK_8},           {0x1D, XK_0},          {0x1E, XK_bracketright},
    {0x1F, XK_o},         {0x20, XK_u},         {0x21, XK_bracketleft}, {0x22, XK_i},          {0x23, XK_p},
    {0x24, XK_Return},    {0x25, XK_l},         {0x26, XK_j},           {0x27, XK_apostrophe}, {0x28, XK_k},
    {0x29, XK_semicolon}, {0x2A, XK_backslash}, {0x2B, XK_comma},       {0x2C, XK_slash},      {0x2D, XK_n},
    {0x2E, XK_m},         {0x2F, XK_period},    {0x30, XK_Tab},         {0x31, XK_space},      {0x32, XK_grave},
    {0x33, XK_BackSpace}, {0x35, XK_Escape},    {0x60, XK_F5},          {0x61, XK_F6},         {0x62, XK_F7},
    {0x63, XK_F3},        {0x64, XK_F8},        {0x65, XK_F9},          {0x67, XK_F11},        {0x6D, XK_F10},
    {0x6F, XK_F12},       {0x75, XK_Delete},    {0x76, XK_F4},          {0x78, XK_F2},         {0x7A, XK_F1},
    {0x7B, XK_Left},      {0x7C, XK_Right},     {0x7D, XK_Down},        {0x7E, XK_Up},
};

constexpr unsigned int kRelevantModifiers = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;

// Xlib's error handler is process-wide: errors on our connection are recorded (BadAccess while grabbing)
// instead of ending the process; errors on other connections go to the handler installed before.
std::atomic<Display*> ourDisplay{nullptr};
std::atomic<int> recordedError{0};
XErrorHandler previousHandler = nullptr;

int onXError(Display* display, XErrorEvent* event) {
    if (display == ourDisplay.load()) {
        int expected = 0;
        recordedError.compare_exchange_strong(expected, event->error_code);
        return 0;
    }
    return previousHandler != nullptr ? previousHandler(display, event) : 0;
}

// The IO error handler is process-wide too; for our connection it returns, so that Xlib calls
// onConnectionLost instead of ending the process.
XIOErrorHandler previousIOHandler = nullptr;

int onXIOError(Display* display) {
    if (display == ourDisplay.load())
        return 0;
    return previousIOHandler != nullptr ? previousIOHandler(display) : 0;
}

void onConnectionLost(Display*, void* backendLost) {
    static_cast<std::atomic<bool>*>(backendLost)->store(true);
}

}  // namespace

unsigned long X11HotKeyBackend::keysymForKeyCode(UInt32 keyCode) {
    const auto* it = std::find_if(std::begin(kKeyMap), std::end(kKeyMap),
                                  [&](const KeyMapping& mapping) { return mapping.keyCode == keyCode; });
    return it != std::end(kKeyMap) ? it->keysym : NoSymbol;
}

unsigned int X11HotKeyBackend::xModifiersFor(UInt32 modifiers) {
    unsigned int mask = 0;
    if ((modifiers & controlKey) != 0)
        mask |= ControlMask;
    if ((modifiers & shiftKey) != 0)
        mask |= ShiftMask;
    if ((modifiers & optionKey) != 0)
        mask |= Mod1Mask;
    if ((modifiers & cmdKey) != 0)
        mask |= Mod4Mask;
    return mask;
}

std::shared_ptr<X11HotKeyBackend> X11HotKeyBackend::open() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return nullptr;
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        XCloseDisplay(display);
        return nullptr;
    }
    ::fcntl(ConnectionNumber(display), F_SETFD, FD_CLOEXEC);
    {
        // Again on every open: someone may have set a handler of their own since.
        static std::mutex handlerMutex;
        std::lock_guard lock(handlerMutex);
        if (const XErrorHandler current = XSetErrorHandler(onXError); current != onXError)
            previousHandler = current;
        if (const XIOErrorHandler current = XSetIOErrorHandler(onXIOError); current != onXIOError)
            previousIOHandler = current;
    }
    return std::shared_ptr<X11HotKeyBackend>(new X11HotKeyBackend(display, wake[0], wake[1]));
}

X11HotKeyBackend::X11HotKeyBackend(Display* display, int wakeRead, int wakeWrite)
    : display_(display),
      wakeRead_(wakeRead),
      wakeWrite_(wakeWrite),
      numLockMask_(Mod2Mask),
      logger_("app.velunto.carbon", "HotKeys") {
    ourDisplay.store(display_);
    XSetIOErrorExitHandler(display_, onConnectionLost, &lost_);
    // NumLock is usually Mod2, but the server's modifier map has the final word.
    if (XModifierKeymap* map = XGetModifierMapping(display_)) {
        const KeyCode numLock = XKeysymToKeycode(display_, XK_Num_Lock);
        for (int modifier = 0; numLock != 0 && modifier < 8; ++modifier) {
            for (int i = 0; i < map->max_keypermod; ++i) {
                if (map->modifiermap[modifier * map->max_keypermod + i] == numLock)
                    numLockMask_ = 1u << modifier;
            }
        }
        XFreeModifiermap(map);
    }
    thread_ = std::thread([this] { run(); });
}

X11HotKeyBackend::~X11HotKeyBackend() {
    stopping_.store(true);
    wake();
    thread_.join();
    {
        std::lock_guard lock(mutex_);
        ourDisplay.store(nullptr);
        // After a lost connection Xlib can only exit or hang; the Display stays allocated instead.
        if (!lost_.load())
            XCloseDisplay(display_);
    }
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

std::vector<unsigned int> X11HotKeyBackend::lockVariants() const {
    return {0, LockMask, numLockMask_, LockMask | numLockMask_};
}

OSStatus X11HotKeyBackend::grab(UInt32 keyCode, UInt32 modifiers) {
    const KeySym keysym = keysymForKeyCode(keyCode);
    if (keysym == NoSymbol)
        return paramErr;
    OSStatus status = noErr;
    {
        std::lock_guard lock(mutex_);
        if (lost_.load())
            return eventInternalErr;
        const KeyCode xKeyCode = XKeysymToKeycode(display_, keysym);
        if (xKeyCode == 0)
            return eventInternalErr;
        const unsigned int xModifiers = xModifiersFor(modifiers);
        const Window root = DefaultRootWindow(display_);
        recordedError.store(0);
        for (const unsigned int variant : lockVariants())
            XGrabKey(display_, xKeyCode, xModifiers | variant, root, False, GrabModeAsync, GrabModeAsync);
        XSync(display_, False);
        if (const int error = recordedError.exchange(0); error != 0 || lost_.load()) {
            for (const unsigned int variant : lockVariants())
                XUngrabKey(display_, xKeyCode, xModifiers | variant, root);
            XSync(display_, False);
            recordedError.store(0);
            status = error == BadAccess ? eventHotKeyExistsErr : eventInternalErr;
        } else {
            grabs_.push_back({xKeyCode, xModifiers, keyCode, modifiers});
        }
    }
    wake();  // XSync may have read events the thread's poll() will not see
    return status;
}

void X11HotKeyBackend::ungrab(UInt32 keyCode, UInt32 modifiers) {
    {
        std::lock_guard lock(mutex_);
        const auto it = std::find_if(grabs_.begin(), grabs_.end(), [&](const Grab& grab) {
            return grab.keyCode == keyCode && grab.modifiers == modifiers;
        });
        if (it == grabs_.end())
            return;
        if (lost_.load()) {
            grabs_.erase(it);
            return;
        }
        const Window root = DefaultRootWindow(display_);
        for (const unsigned int variant : lockVariants())
            XUngrabKey(display_, it->xKeyCode, it->xModifiers | variant, root);
        grabs_.erase(it);
        XSync(display_, False);
    }
    wake();
}

void X11HotKeyBackend::wake() const {
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(wakeWrite_, &byte, 1);
}

void X11HotKeyBackend::run() {
    const int connection = ConnectionNumber(display_);
    while (!stopping_.load()) {
        std::vector<std::pair<UInt32, UInt32>> presses;
        {
            std::lock_guard lock(mutex_);
            while (!lost_.load() && XPending(display_) > 0) {
                XEvent event;
                XNextEvent(display_, &event);
                if (event.type != KeyPress)
                    continue;
                const unsigned int state = event.xkey.state & kRelevantModifiers;
                for (const Grab& grab : grabs_) {
                    if (grab.xKeyCode == event.xkey.keycode && grab.xModifiers == state)
                        presses.emplace_back(grab.keyCode, grab.modifiers);
                }
            }
        }
        for (const auto& [keyCode, modifiers] : presses)
            HotKeyCenter::shared().deliverPress(*this, keyCode, modifiers);
        if (lost_.load()) {
            logger_.error("Die Verbindung zum X-Server ist abgebrochen; globale Tastenkürzel sind aus.");
            return;
        }
        pollfd fds[] = {{connection, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        char drain[64];
        while (::read(wakeRead_, drain, sizeof drain) > 0) {
        }
    }
}

}  // namespace velunto
