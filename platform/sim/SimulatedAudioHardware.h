#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coreaudio/AudioHardwareBase.h"
#include "platform/coreaudio/AudioHardwareDevice.h"
#include "platform/sim/SimulatedDeviceDescription.h"

namespace velunto {

class SimulatedAudioDevice;

// A scenario of simulated audio devices, published through the in-process audio server while this
// object lives (its destructor unplugs every device it still has). Every operation fires the same
// property notifications as the real hardware would. Devices run their I/O cycles on their own
// threads in real time, or from the virtual clock while a VirtualTime is installed.
class SimulatedAudioHardware {
public:
    SimulatedAudioHardware();
    explicit SimulatedAudioHardware(const std::vector<SimulatedDeviceDescription>& scenario);
    ~SimulatedAudioHardware();
    SimulatedAudioHardware(const SimulatedAudioHardware&) = delete;
    SimulatedAudioHardware& operator=(const SimulatedAudioHardware&) = delete;

    // Publishes the device; the first device with inputs (outputs) becomes the default input (output)
    // if there is none. Returns its object ID; 0 if the UID is already in use.
    AudioObjectID plug(const SimulatedDeviceDescription& description);
    // Withdraws the device: it leaves the device list, its listeners hear 'livn', its I/O stops, and if
    // it was a default device the next capable device takes its place. False if unknown.
    bool unplug(const std::string& uid);
    // Changes the nominal rate as the device's own control panel would ('nsrt' notification).
    bool setNominalSampleRate(const std::string& uid, double rate);
    // The device dies in place: 'livn' reads 0, its I/O stops, it stays listed until unplugged.
    bool kill(const std::string& uid);
    bool setDefaultInput(const std::string& uid);
    bool setDefaultOutput(const std::string& uid);
    bool setSignal(const std::string& uid, const SimulatedSignal& signal);

    // Output recording, interleaved at the device's rate and channel count. A memory recording keeps
    // at most maxFrames (the oldest are dropped); a WAV recording is written with libsndfile until
    // stopRecording or unplug.
    bool recordToMemory(const std::string& uid, std::size_t maxFrames);
    bool recordToWAV(const std::string& uid, const std::string& path);
    void stopRecording(const std::string& uid);
    std::vector<float> recording(const std::string& uid) const;
    // Called on the device's I/O thread with every output cycle's mixed samples (interleaved).
    using OutputObserver =
        std::function<void(double sampleTime, const float* samples, std::uint32_t frames, std::uint32_t channels)>;
    bool setOutputObserver(const std::string& uid, OutputObserver observer);

    std::optional<AudioObjectID> deviceID(const std::string& uid) const;
    // I/O cycles the device has run since it was plugged.
    std::uint64_t cycleCount(const std::string& uid) const;
    // Where the device's sample timeline stands against the host clock; none if unknown.
    std::optional<AudioDeviceTimeline> timeline(const std::string& uid) const;

    // A few ordinary devices: built-in microphone and speakers, a USB headset, an aggregate.
    static std::vector<SimulatedDeviceDescription> standardScenario();

private:
    std::shared_ptr<SimulatedAudioDevice> find(const std::string& uid) const;

    std::vector<std::shared_ptr<SimulatedAudioDevice>> devices_;
};

}  // namespace velunto
