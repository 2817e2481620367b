#include "platform/carbon/CarbonEvents.h"

#include "platform/carbon/HotKeyCenter.h"

namespace velunto {

struct OpaqueEventTargetRef {
    int unused = 0;
};

namespace {
OpaqueEventTargetRef applicationTarget;
}

EventTargetRef GetApplicationEventTarget() {
    return &applicationTarget;
}

OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, ItemCount numTypes,
                             const EventTypeSpec* list, void* userData, EventHandlerRef* outRef) {
    if (target != &applicationTarget)
        return paramErr;
    return HotKeyCenter::shared().installHandler(handler, numTypes, list, userData, outRef);
}

OSStatus RemoveEventHandler(EventHandlerRef handler) {
    return HotKeyCenter::shared().removeHandler(handler);
}

OSStatus RegisterEventHotKey(UInt32 keyCode, UInt32 modifiers, EventHotKeyID hotKeyID, EventTargetRef target,
                             OptionBits /*options*/, EventHotKeyRef* outRef) {
    if (target != &applicationTarget)
        return paramErr;
    return HotKeyCenter::shared().registerHotKey(keyCode, modifiers, hotKeyID, outRef);
}

OSStatus UnregisterEventHotKey(EventHotKeyRef hotKey) {
    return HotKeyCenter::shared().unregisterHotKey(hotKey);
}

UInt32 GetEventClass(EventRef event) {
    return event != nullptr ? event->eventClass : 0;
}

UInt32 GetEventKind(EventRef event) {
    return event != nullptr ? event->eventKind : 0;
}

OSStatus GetEventHotKeyID(EventRef event, EventHotKeyID* outID) {
    if (event == nullptr || outID == nullptr || event->eventClass != kEventClassKeyboard ||
        (event->eventKind != kEventHotKeyPressed && event->eventKind != kEventHotKeyReleased))
        return paramErr;
    *outID = event->hotKeyID;
    return noErr;
}

}  // namespace velunto
