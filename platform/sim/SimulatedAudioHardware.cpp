#include "platform/sim/SimulatedAudioHardware.h"

#include <algorithm>

#include "platform/coreaudio/AudioHardwareServer.h"
#include "platform/sim/SimulatedAudioDevice.h"

namespace velunto {

SimulatedAudioHardware::SimulatedAudioHardware() = default;

SimulatedAudioHardware::SimulatedAudioHardware(const std::vector<SimulatedDeviceDescription>& scenario) {
    for (const auto& description : scenario)
        plug(description);
}

SimulatedAudioHardware::~SimulatedAudioHardware() {
    while (!devices_.empty())
        unplug(devices_.back()->uid());
}

AudioObjectID SimulatedAudioHardware::plug(const SimulatedDeviceDescription& description) {
    const bool valid = !description.uid.empty() && description.nominalSampleRate > 0 &&
                       description.bufferFrameSize >= 1 && description.bufferFrameSize <= 8192 &&
                       description.inputChannels <= 64 && description.outputChannels <= 64;
    auto& server = AudioHardwareServer::shared();
    if (!valid)
        return kAudioObjectUnknown;
    for (AudioObjectID id : server.deviceIDs()) {
        auto device = server.device(id);
        if (device && device->uid() == description.uid)
            return kAudioObjectUnknown;
    }
    auto device = std::make_shared<SimulatedAudioDevice>(server.makeObjectID(), description);
    devices_.push_back(device);
    server.publishDevice(device);
    return device->objectID();
}

bool SimulatedAudioHardware::unplug(const std::string& uid) {
    auto device = find(uid);
    if (!device)
        return false;
    std::erase(devices_, device);
    AudioHardwareServer::shared().withdrawDevice(device->objectID());
    device->setRecorder(nullptr);  // closes a WAV recording
    return true;
}

bool SimulatedAudioHardware::setNominalSampleRate(const std::string& uid, double rate) {
    auto device = find(uid);
    return device && device->setNominalSampleRate(rate);
}

bool SimulatedAudioHardware::kill(const std::string& uid) {
    auto device = find(uid);
    if (!device)
        return false;
    device->kill();
    return true;
}

bool SimulatedAudioHardware::setDefaultInput(const std::string& uid) {
    auto device = find(uid);
    return device && AudioHardwareServer::shared().setDefaultDevice(kAudioHardwarePropertyDefaultInputDevice,
                                                                    device->objectID()) == kAudioHardwareNoError;
}

bool SimulatedAudioHardware::setDefaultOutput(const std::string& uid) {
    auto device = find(uid);
    return device && AudioHardwareServer::shared().setDefaultDevice(kAudioHardwarePropertyDefaultOutputDevice,
                                                                    device->objectID()) == kAudioHardwareNoError;
}

bool SimulatedAudioHardware::setSignal(const std::string& uid, const SimulatedSignal& signal) {
    auto device = find(uid);
    if (!device)
        return false;
    device->setSignal(signal);
    return true;
}

bool SimulatedAudioHardware::recordToMemory(const std::string& uid, std::size_t maxFrames) {
    auto device = find(uid);
    if (!device || device->description().outputChannels == 0)
        return false;
    device->setRecorder(SimulatedRecorder::memory(maxFrames, device->description().outputChannels));
    return true;
}

bool SimulatedAudioHardware::recordToWAV(const std::string& uid, const std::string& path) {
    auto device = find(uid);
    if (!device || device->description().outputChannels == 0)
        return false;
    double rate = device->description().nominalSampleRate;
    UInt32 size = sizeof rate;
    const AudioObjectPropertyAddress address{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    AudioPropertyRequest request;
    request.address = address;
    request.capacity = size;
    request.data = &rate;
    device->readProperty(request);
    auto recorder = SimulatedRecorder::wav(path, device->description().outputChannels, rate);
    if (!recorder)
        return false;
    device->setRecorder(std::move(recorder));
    return true;
}

void SimulatedAudioHardware::stopRecording(const std::string& uid) {
    if (auto device = find(uid))
        device->setRecorder(nullptr);
}

std::vector<float> SimulatedAudioHardware::recording(const std::string& uid) const {
    auto device = find(uid);
    return device ? device->recording() : std::vector<float>{};
}

bool SimulatedAudioHardware::setOutputObserver(const std::string& uid, OutputObserver observer) {
    auto device = find(uid);
    if (!device)
        return false;
    device->setOutputObserver(std::move(observer));
    return true;
}

std::optional<AudioObjectID> SimulatedAudioHardware::deviceID(const std::string& uid) const {
    auto device = find(uid);
    if (!device)
        return std::nullopt;
    return device->objectID();
}

std::uint64_t SimulatedAudioHardware::cycleCount(const std::string& uid) const {
    auto device = find(uid);
    return device ? AudioHardwareServer::shared().ioCycleCount(device->objectID()) : 0;
}

std::optional<AudioDeviceTimeline> SimulatedAudioHardware::timeline(const std::string& uid) const {
    auto device = find(uid);
    return device ? std::optional(device->timeline()) : std::nullopt;
}

std::shared_ptr<SimulatedAudioDevice> SimulatedAudioHardware::find(const std::string& uid) const {
    auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto& d) { return d->uid() == uid; });
    return it == devices_.end() ? nullptr : *it;
}

std::vector<SimulatedDeviceDescription> SimulatedAudioHardware::standardScenario() {
    SimulatedDeviceDescription mic;
    mic.name = "Eingebautes Mikrofon";
    mic.uid = "sim.builtin.mic";
    mic.inputChannels = 1;
    mic.inputLatency = 96;
    mic.inputSafetyOffset = 32;
    mic.driftPPM = 12;
    mic.signal = SimulatedSignal::sineWave(220.0, 0.3);

    SimulatedDeviceDescription speakers;
    speakers.name = "Eingebaute Lautsprecher";
    speakers.uid = "sim.builtin.speakers";
    speakers.outputChannels = 2;
    speakers.outputLatency = 128;
    speakers.outputSafetyOffset = 32;
    speakers.driftPPM = 12;

    SimulatedDeviceDescription headset;
    headset.name = "USB Headset";
    headset.uid = "sim.usb.headset";
    headset.transportType = kAudioDeviceTransportTypeUSB;
    headset.inputChannels = 1;
    headset.outputChannels = 2;
    headset.nominalSampleRate = 44100.0;
    headset.availableSampleRates = {44100.0, 48000.0};
    headset.bufferFrameSize = 441;
    headset.driftPPM = -85;
    headset.signal = SimulatedSignal::whiteNoise(0.1, 7);

    SimulatedDeviceDescription aggregate;
    aggregate.name = "Aggregat";
    aggregate.uid = "sim.aggregate";
    aggregate.transportType = kAudioDeviceTransportTypeAggregate;
    aggregate.inputChannels = 1;
    aggregate.outputChannels = 2;
    aggregate.subDeviceUIDs = {mic.uid, speakers.uid};
    aggregate.driftPPM = 12;

    return {mic, speakers, headset, aggregate};
}

}  // namespace velunto
