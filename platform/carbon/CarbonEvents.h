#pragma once

#include "platform/corefoundation/MacTypes.h"

namespace velunto {

// Global hot keys in the shape of the Carbon event manager. Handlers installed on the application
// target for (kEventClassKeyboard, kEventHotKeyPressed) run on DispatchQueue::main() when a registered
// hot key is pressed. Backend: an X server from $DISPLAY (keys grabbed on the root window), else none
// (RegisterEventHotKey answers eventInternalErr), or SimulatedHotKeys while one is alive.

enum : UInt32 { kEventClassKeyboard = 'keyb', kEventHotKeyPressed = 5, kEventHotKeyReleased = 6 };
enum : UInt32 { cmdKey = 0x0100, shiftKey = 0x0200, optionKey = 0x0800, controlKey = 0x1000 };
enum : OSStatus {
    eventHotKeyExistsErr = -9878,
    eventHotKeyInvalidErr = -9879,
    eventInternalErr = -9868,
    eventNotHandledErr = -9874,
    paramErr = -50
};

struct EventTypeSpec {
    UInt32 eventClass;
    UInt32 eventKind;
};
struct EventHotKeyID {
    OSType signature;
    UInt32 id;
};

using EventTargetRef = struct OpaqueEventTargetRef*;
using EventHandlerRef = struct OpaqueEventHandlerRef*;
using EventHandlerCallRef = struct OpaqueEventHandlerCallRef*;
using EventHotKeyRef = struct OpaqueEventHotKeyRef*;
using EventRef = struct OpaqueEventRef*;
using ItemCount = unsigned long;
using OptionBits = UInt32;
using EventHandlerUPP = OSStatus (*)(EventHandlerCallRef, EventRef, void* userData);

EventTargetRef GetApplicationEventTarget();

// Handlers run newest first; one that returns eventNotHandledErr passes the event on to the next.
OSStatus InstallEventHandler(EventTargetRef target, EventHandlerUPP handler, ItemCount numTypes,
                             const EventTypeSpec* list, void* userData, EventHandlerRef* outRef);
OSStatus RemoveEventHandler(EventHandlerRef handler);

// Modifier bits other than cmdKey, shiftKey, optionKey and controlKey are ignored.
OSStatus RegisterEventHotKey(UInt32 keyCode, UInt32 modifiers, EventHotKeyID hotKeyID, EventTargetRef target,
                             OptionBits options, EventHotKeyRef* outRef);
OSStatus UnregisterEventHotKey(EventHotKeyRef hotKey);

UInt32 GetEventClass(EventRef event);
UInt32 GetEventKind(EventRef event);
// The pressed hot key's id; paramErr for a null argument or an event without one.
OSStatus GetEventHotKeyID(EventRef event, EventHotKeyID* outID);

}  // namespace velunto
