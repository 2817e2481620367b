#pragma once

#include <string>
#include <vector>

#include "platform/avaudio/AVAudioUnitComponent.h"

namespace velunto {

// Lists the registered audio components. The first use of shared() registers the built-in simulated
// effects (registerSimulatedEffects). Thread-safe.
class AVAudioUnitComponentManager {
public:
    static AVAudioUnitComponentManager& shared();

    // The components whose type, subtype and manufacturer equal the description's where those are
    // non-zero (and whose flags equal its flags under its mask), in registration order.
    std::vector<AVAudioUnitComponent> components(const AudioComponentDescription& matching) const;

    // The display name of a component type ("Effect" for 'aufx', "Music Effect" for 'aumf', ...).
    static std::string typeName(OSType componentType);

private:
    AVAudioUnitComponentManager();
};

}  // namespace velunto
