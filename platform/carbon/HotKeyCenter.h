#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/carbon/CarbonEvents.h"
#include "platform/carbon/HotKeyBackend.h"
#include "platform/oslog/Logger.h"

namespace velunto {

struct OpaqueEventHandlerRef {
    bool installed = true;  // guarded by the center's mutex
    EventHandlerUPP handler = nullptr;
    std::vector<EventTypeSpec> types;
    void* userData = nullptr;
};

struct OpaqueEventHotKeyRef {
    UInt32 keyCode = 0;
    UInt32 modifiers = 0;
    EventHotKeyID hotKeyID{};
    std::uint64_t serial = 0;  // tells a press queued before unregistering from later ones
    std::shared_ptr<HotKeyBackend> backend;
};

struct OpaqueEventRef {
    UInt32 eventClass = 0;
    UInt32 eventKind = 0;
    EventHotKeyID hotKeyID{};
};

// The process's hot-key registrations and event handlers behind CarbonEvents.h. The X11 backend is
// opened with the first registration and closed with the last, so $DISPLAY is read again each time;
// after a lost X connection registrations fail with eventInternalErr until the last one is gone.
class HotKeyCenter {
public:
    static HotKeyCenter& shared();

    OSStatus installHandler(EventHandlerUPP handler, ItemCount numTypes, const EventTypeSpec* list, void* userData,
                            EventHandlerRef* outRef);
    OSStatus removeHandler(EventHandlerRef handler);
    OSStatus registerHotKey(UInt32 keyCode, UInt32 modifiers, EventHotKeyID hotKeyID, EventHotKeyRef* outRef);
    OSStatus unregisterHotKey(EventHotKeyRef hotKey);

    // Queues the hot-key event for the main queue if `from` holds that combination; returns whether it does.
    bool deliverPress(const HotKeyBackend& from, UInt32 keyCode, UInt32 modifiers);

    struct Registration {
        UInt32 keyCode;
        UInt32 modifiers;
        EventHotKeyID hotKeyID;
    };
    std::vector<Registration> registrations(const HotKeyBackend& of) const;  // in registration order

    // A test backend that takes the place of the real one while set (nullptr: the real one again).
    void setOverride(std::shared_ptr<HotKeyBackend> backend);
    std::shared_ptr<HotKeyBackend> currentOverride() const;

    static constexpr UInt32 kModifierMask = cmdKey | shiftKey | optionKey | controlKey;

private:
    HotKeyCenter();
    void dispatch(std::uint64_t serial, EventHotKeyID hotKeyID);

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<OpaqueEventHandlerRef>> handlers_;  // installation order
    std::map<EventHotKeyRef, std::unique_ptr<OpaqueEventHotKeyRef>> hotKeys_;
    std::uint64_t nextSerial_ = 1;
    std::shared_ptr<HotKeyBackend> override_;
    std::shared_ptr<HotKeyBackend> real_;
    bool reportedNoServer_ = false;
    Logger logger_;
};

}  // namespace velunto
