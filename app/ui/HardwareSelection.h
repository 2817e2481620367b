#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace velunto {

class PulseAudioHardware;
class PulseVirtualMicrophone;
class SimulatedAudioHardware;
class SimulatedCameraHardware;
class V4L2CameraProvider;

// The hardware the application runs on, chosen once at start-up and kept for the run: the desktop's
// sound server (with "Velunto Mic" made there) and its V4L2 cameras when a sound server answers, else
// the simulated hardware with the virtual microphone driver if installed. VELUNTO_HARDWARE=simulated
// forces the simulation. Effects: the built-in ones and every usable installed LV2 plug-in.
class HardwareSelection {
public:
    enum class Kind { system, simulated };

    static std::unique_ptr<HardwareSelection> choose(std::chrono::milliseconds serverTimeout = std::chrono::seconds(2));
    static std::unique_ptr<HardwareSelection> makeSimulated(const std::string& reason);
    ~HardwareSelection();
    HardwareSelection(const HardwareSelection&) = delete;
    HardwareSelection& operator=(const HardwareSelection&) = delete;

    Kind kind() const { return kind_; }
    // What the log says about the choice.
    const std::string& description() const { return description_; }

private:
    HardwareSelection() = default;
    static void registerEffects();
    void installMicrophone();

    Kind kind_ = Kind::simulated;
    std::string description_;
    // System: the sound server's devices, our microphone on it, the cameras. Torn down in reverse.
    std::unique_ptr<PulseAudioHardware> pulse_;
    std::unique_ptr<PulseVirtualMicrophone> microphone_;  // made again on the sound server's queue when it returns
    std::shared_ptr<V4L2CameraProvider> cameras_;
    // Simulated.
    std::unique_ptr<SimulatedAudioHardware> simulatedAudio_;
    std::unique_ptr<SimulatedCameraHardware> simulatedCameras_;
};

}  // namespace velunto
