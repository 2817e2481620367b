#include "platform/avaudio/AVAudioUnitComponentManager.h"

#include <string>
#include <utility>

#include "platform/audiounit/AudioComponentRegistry.h"
#include "platform/sim/SimulatedEffects.h"

namespace velunto {

AVAudioUnitComponentManager& AVAudioUnitComponentManager::shared() {
    static AVAudioUnitComponentManager manager;
    return manager;
}

AVAudioUnitComponentManager::AVAudioUnitComponentManager() {
    registerSimulatedEffects();
}

std::vector<AVAudioUnitComponent> AVAudioUnitComponentManager::components(
    const AudioComponentDescription& matching) const {
    AudioComponentRegistry& registry = AudioComponentRegistry::shared();
    std::vector<AVAudioUnitComponent> found;
    for (AudioComponent c = registry.findNext(nullptr, &matching); c != nullptr; c = registry.findNext(c, &matching)) {
        AVAudioUnitComponent component;
        if (!registry.description(c, &component.audioComponentDescription)) {
            continue;  // unregistered meanwhile
        }
        component.manufacturerName = registry.manufacturerName(c);
        component.name = registry.name(c);
        const std::string prefix = component.manufacturerName + ": ";
        if (!component.manufacturerName.empty() && component.name.starts_with(prefix)) {
            component.name.erase(0, prefix.size());
        }
        component.typeName = typeName(component.audioComponentDescription.componentType);
        component.audioComponent = c;
        found.push_back(std::move(component));
    }
    return found;
}

std::string AVAudioUnitComponentManager::typeName(OSType componentType) {
    switch (componentType) {
        case kAudioUnitType_Effect:
            return "Effect";
        case kAudioUnitType_MusicEffect:
            return "Music Effect";
        case kAudioUnitType_Output:
            return "Output";
        case 'aumu':
            return "Instrument";
        case 'augn':
            return "Generator";
        case 'aumx':
            return "Mixer";
        case 'aupn':
            return "Panner";
        case 'aufc':
            return "Format Converter";
        case 'auol':
            return "Offline Effect";
        case 'aumi':
            return "MIDI Processor";
        default: {
            std::string code(4, ' ');
            for (int i = 0; i < 4; ++i) {
                code[static_cast<std::size_t>(i)] = static_cast<char>((componentType >> (24 - 8 * i)) & 0xFFu);
            }
            return code;
        }
    }
}

}  // namespace velunto
