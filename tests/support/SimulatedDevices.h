#pragma once

// Devices for test scenarios on simulated hardware.

#include <string>

#include "platform/sim/SimulatedDeviceDescription.h"

namespace velunto {

// A built-in device with the given channels; its inputs carry the signal (a steady tone by default).
inline SimulatedDeviceDescription simulatedDevice(std::string name, std::string uid, UInt32 inputs, UInt32 outputs,
                                                  SimulatedSignal signal = SimulatedSignal::sineWave(440, 0.3)) {
    SimulatedDeviceDescription d;
    d.name = std::move(name);
    d.uid = std::move(uid);
    d.inputChannels = inputs;
    d.outputChannels = outputs;
    d.signal = std::move(signal);
    return d;
}

// The virtual microphone's hidden feed device, as the installed driver would publish it.
inline SimulatedDeviceDescription simulatedFeedDevice() {
    SimulatedDeviceDescription d = simulatedDevice("Velunto Mic (Einspeisung)", "app.velunto.mic.feed", 0, 2);
    d.transportType = kAudioDeviceTransportTypeVirtual;
    d.hidden = true;
    return d;
}

}  // namespace velunto
