#include "app/ui/HotKey.h"

#include <memory>

#include "app/devices/AudioProperties.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& log() {
    static const Logger logger("app.velunto", "HotKey");
    return logger;
}

}  // namespace

HotKey::HotKey() {
    const EventTypeSpec pressed{kEventClassKeyboard, kEventHotKeyPressed};
    EventHandlerRef handler = nullptr;
    if (checkStatus(InstallEventHandler(GetApplicationEventTarget(), &HotKey::handle, 1, &pressed, this, &handler),
                    "InstallEventHandler(kEventHotKeyPressed)"))
        handlerRef_ = handler;
}

HotKey::~HotKey() {
    if (hotKeyRef_)
        UnregisterEventHotKey(hotKeyRef_);
    if (handlerRef_)
        RemoveEventHandler(handlerRef_);
}

OSStatus HotKey::handle(EventHandlerCallRef, EventRef, void* userData) {
    // Any hot key of this application: the press is handed on asynchronously.
    auto* self = static_cast<HotKey*>(userData);
    if (self->onPress)
        DispatchQueue::main().async([press = self->onPress] { press(); });
    return noErr;
}

void HotKey::registerShortcut(const std::optional<KeyShortcut>& shortcut) {
    if (hotKeyRef_) {
        UnregisterEventHotKey(hotKeyRef_);
        hotKeyRef_ = nullptr;
    }
    if (!shortcut)
        return;
    EventHotKeyRef registered = nullptr;
    const OSStatus status = RegisterEventHotKey(shortcut->keyCode, shortcut->modifiers, {kSignature, kIdentifier},
                                                GetApplicationEventTarget(), 0, &registered);
    if (!checkStatus(status, "RegisterEventHotKey(" + shortcut->display + ")")) {
        log().error("Tastenkürzel %{public}s ist vermutlich schon belegt.", shortcut->display);
        return;
    }
    hotKeyRef_ = registered;
}

}  // namespace velunto
