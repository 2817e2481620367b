#include "platform/carbon/SimulatedHotKeys.h"

#include <mutex>
#include <set>
#include <utility>

namespace velunto {

class SimulatedHotKeys::Backend : public HotKeyBackend {
public:
    OSStatus grab(UInt32 keyCode, UInt32 modifiers) override {
        std::lock_guard lock(mutex_);
        if (heldElsewhere_.count({keyCode, modifiers}) != 0)
            return eventHotKeyExistsErr;
        return noErr;
    }
    void ungrab(UInt32, UInt32) override {}

    void holdElsewhere(UInt32 keyCode, UInt32 modifiers) {
        std::lock_guard lock(mutex_);
        heldElsewhere_.insert({keyCode, modifiers & HotKeyCenter::kModifierMask});
    }

private:
    std::mutex mutex_;
    std::set<std::pair<UInt32, UInt32>> heldElsewhere_;
};

SimulatedHotKeys::SimulatedHotKeys()
    : backend_(std::make_shared<Backend>()), previous_(HotKeyCenter::shared().currentOverride()) {
    HotKeyCenter::shared().setOverride(backend_);
}

SimulatedHotKeys::~SimulatedHotKeys() {
    HotKeyCenter::shared().setOverride(previous_);
}

bool SimulatedHotKeys::press(UInt32 keyCode, UInt32 modifiers) {
    return HotKeyCenter::shared().deliverPress(*backend_, keyCode, modifiers);
}

void SimulatedHotKeys::holdElsewhere(UInt32 keyCode, UInt32 modifiers) {
    backend_->holdElsewhere(keyCode, modifiers);
}

std::vector<SimulatedHotKeys::Registration> SimulatedHotKeys::registered() const {
    return HotKeyCenter::shared().registrations(*backend_);
}

}  // namespace velunto
