#pragma once

#include <memory>
#include <vector>

#include "platform/carbon/CarbonEvents.h"
#include "platform/carbon/HotKeyCenter.h"

namespace velunto {

// Hot keys without an X server, for tests: while this object lives, RegisterEventHotKey grabs here
// instead. Presses reach the handlers through DispatchQueue::main() (under VirtualTime after
// time.runUntilIdle()). A nested simulation takes over while it lives. Registrations made before
// stay with the backend that made them.
class SimulatedHotKeys {
public:
    using Registration = HotKeyCenter::Registration;

    SimulatedHotKeys();
    ~SimulatedHotKeys();
    SimulatedHotKeys(const SimulatedHotKeys&) = delete;
    SimulatedHotKeys& operator=(const SimulatedHotKeys&) = delete;

    // Queues a press if the combination is registered here; returns whether it is.
    bool press(UInt32 keyCode, UInt32 modifiers);
    // Another program holds the combination: registering it fails with eventHotKeyExistsErr.
    void holdElsewhere(UInt32 keyCode, UInt32 modifiers);
    // Current registrations made through this simulation, oldest first.
    std::vector<Registration> registered() const;

private:
    class Backend;
    std::shared_ptr<Backend> backend_;
    std::shared_ptr<HotKeyBackend> previous_;
};

}  // namespace velunto
