#pragma once

#include "platform/audiounit/AudioUnit.h"

namespace velunto {

// The built-in effect components: all by manufacturer 'Vlnt' ("Velunto Sim"), flags 0.
enum : OSType {
    kSimulatedEffectManufacturer = 'Vlnt',
    kSimulatedDelaySubType = 'sdly',
    kSimulatedGainSubType = 'sgan',
    kSimulatedPolaritySubType = 'spol',
    kSimulatedNoiseGateSubType = 'sgat',
    kSimulatedChorusSubType = 'schr'
};

inline constexpr const char* kSimulatedEffectManufacturerName = "Velunto Sim";
inline constexpr UInt32 kSimulatedEffectVersion = 0x00010000;

// Registers the built-in effects with the component registry, in this order: Delay, Gain, Polarity,
// Noise Gate (all 'aufx'), Chorus ('aumf'). Only the first call in the process registers; thread-safe.
void registerSimulatedEffects();

}  // namespace velunto
