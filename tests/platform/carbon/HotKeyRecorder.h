#pragma once

#include <mutex>
#include <vector>

#include "platform/carbon/CarbonEvents.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

// An event handler that records the hot-key ids it sees and answers with `answer`.
struct HotKeyRecorder {
    std::vector<UInt32> ids;
    std::vector<UInt32> kinds;
    bool allOnMainQueue = true;
    OSStatus answer = noErr;
    EventHandlerRef ref = nullptr;

    static OSStatus handle(EventHandlerCallRef, EventRef event, void* userData) {
        auto* self = static_cast<HotKeyRecorder*>(userData);
        EventHotKeyID id{};
        if (GetEventHotKeyID(event, &id) != noErr)
            id.id = 0xFFFFFFFF;
        self->ids.push_back(id.id);
        self->kinds.push_back(GetEventKind(event));
        self->allOnMainQueue = self->allOnMainQueue && DispatchQueue::main().isCurrent();
        return self->answer;
    }

    OSStatus install(std::vector<EventTypeSpec> types = {{kEventClassKeyboard, kEventHotKeyPressed}}) {
        return InstallEventHandler(GetApplicationEventTarget(), &HotKeyRecorder::handle, types.size(), types.data(),
                                   this, &ref);
    }
    ~HotKeyRecorder() {
        if (ref != nullptr)
            RemoveEventHandler(ref);
    }
};

}  // namespace velunto
