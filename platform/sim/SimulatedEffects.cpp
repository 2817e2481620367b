#include "platform/sim/SimulatedEffects.h"

#include <memory>
#include <mutex>

#include "platform/audiounit/AudioComponentRegistry.h"
#include "platform/sim/SimulatedChorusEffect.h"
#include "platform/sim/SimulatedDelayEffect.h"
#include "platform/sim/SimulatedGainEffect.h"
#include "platform/sim/SimulatedNoiseGateEffect.h"
#include "platform/sim/SimulatedPolarityEffect.h"

namespace velunto {

namespace {

template <class Effect>
void add() {
    AudioComponentRegistry::shared().registerComponent(Effect::kDescription, Effect::kName,
                                                       kSimulatedEffectManufacturerName,
                                                       [] { return std::make_unique<Effect>(); });
}

}  // namespace

void registerSimulatedEffects() {
    static std::once_flag once;
    std::call_once(once, [] {
        add<SimulatedDelayEffect>();
        add<SimulatedGainEffect>();
        add<SimulatedPolarityEffect>();
        add<SimulatedNoiseGateEffect>();
        add<SimulatedChorusEffect>();
    });
}

}  // namespace velunto
