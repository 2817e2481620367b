#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "platform/coreaudio/AudioHardwareDevice.h"
#include "platform/sim/SimulatedDeviceDescription.h"
#include "platform/sim/SimulatedRecorder.h"
#include "platform/sim/SimulatedSignalGenerator.h"

namespace velunto {

// One simulated device: its properties, its clock (nominal rate × (1 + drift)), its input signal and
// what becomes of its output.
class SimulatedAudioDevice : public AudioHardwareDevice {
public:
    using OutputObserver =
        std::function<void(double sampleTime, const float* samples, std::uint32_t frames, std::uint32_t channels)>;

    SimulatedAudioDevice(AudioObjectID objectID, SimulatedDeviceDescription description);

    const SimulatedDeviceDescription& description() const { return description_; }

    OSStatus readProperty(AudioPropertyRequest& request) const override;
    bool isPropertySettable(const AudioObjectPropertyAddress& address) const override;
    OSStatus writeProperty(const AudioObjectPropertyAddress& address, UInt32 qualifierSize, const void* qualifier,
                           UInt32 dataSize, const void* data) override;

    std::string uid() const override { return description_.uid; }
    bool isAlive() const override;
    bool isHidden() const override { return description_.hidden; }
    AudioDeviceIOLayout ioLayout() const override;
    AudioDeviceTimeline timeline() const override;
    OSStatus startIO() override;
    void stopIO() override;
    void readInput(const AudioDeviceIOCycle& cycle, AudioBufferList& input) override;
    void writeOutput(const AudioDeviceIOCycle& cycle, const AudioBufferList& output) override;

    // Scenario operations; each announces its change. False if the value is refused.
    bool setNominalSampleRate(double rate);
    void kill();
    void setSignal(const SimulatedSignal& signal);
    void setRecorder(std::unique_ptr<SimulatedRecorder> recorder);
    std::vector<float> recording() const;
    void setOutputObserver(OutputObserver observer);

private:
    void announce(AudioObjectPropertySelector selector);

    const SimulatedDeviceDescription description_;
    mutable std::mutex mutex_;
    bool alive_ = true;
    bool running_ = false;
    double nominalRate_;
    AudioDeviceTimeline timeline_;
    std::shared_ptr<const SimulatedSignalGenerator> generator_;
    std::unique_ptr<SimulatedRecorder> recorder_;
    OutputObserver observer_;
};

}  // namespace velunto
