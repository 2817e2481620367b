#pragma once

#include <string>

#include "platform/audiounit/AudioUnit.h"

namespace velunto {

// One registered audio component as the component manager lists it.
struct AVAudioUnitComponent {
    // Without the "Manufacturer: " prefix the component's full name carries.
    std::string name;
    std::string manufacturerName;
    // "Effect", "Music Effect", "Output", ...; the type code's four characters for a type without a name.
    std::string typeName;
    AudioComponentDescription audioComponentDescription{};
    // For AudioComponentInstanceNew.
    AudioComponent audioComponent = nullptr;
};

}  // namespace velunto
