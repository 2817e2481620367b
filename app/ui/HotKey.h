#pragma once

#include <functional>
#include <optional>

#include "app/ui/KeyShortcut.h"
#include "platform/carbon/CarbonEvents.h"

namespace velunto {

// The one system-wide key combination that pauses and resumes the pipeline. Main thread only.
class HotKey {
public:
    static constexpr OSType kSignature = 'VNTD';
    static constexpr UInt32 kIdentifier = 1;

    HotKey();
    ~HotKey();
    HotKey(const HotKey&) = delete;
    HotKey& operator=(const HotKey&) = delete;

    // Called on the main queue, never inside the event dispatch.
    std::function<void()> onPress;

    // Replaces the registration; none only unregisters. A combination another program holds is
    // logged, not shown.
    void registerShortcut(const std::optional<KeyShortcut>& shortcut);
    bool isRegistered() const { return hotKeyRef_ != nullptr; }

private:
    static OSStatus handle(EventHandlerCallRef call, EventRef event, void* userData);

    EventHotKeyRef hotKeyRef_ = nullptr;
    EventHandlerRef handlerRef_ = nullptr;
};

}  // namespace velunto
