#include "app/ui/HardwareSelection.h"

#include <cstdlib>

#include "mic-driver/VeluntoMicDriver.h"
#include "platform/coreaudio/AudioServerPlugInHost.h"
#include "platform/lv2/LV2PluginCatalog.h"
#include "platform/oslog/Logger.h"
#include "platform/pulse/PulseAudioHardware.h"
#include "platform/pulse/PulseVirtualMicrophone.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedCameraHardware.h"
#include "platform/sim/SimulatedEffects.h"
#include "platform/v4l2/V4L2CameraProvider.h"

namespace velunto {

namespace {

const Logger& log() {
    static const Logger logger("app.velunto", "Hardware");
    return logger;
}

}  // namespace

void HardwareSelection::registerEffects() {
    registerSimulatedEffects();
    LV2PluginCatalog::registerInstalledPlugins();
}

std::unique_ptr<HardwareSelection> HardwareSelection::choose(std::chrono::milliseconds serverTimeout) {
    const char* forced = std::getenv("VELUNTO_HARDWARE");
    const std::string wanted = forced != nullptr ? forced : "";
    if (wanted == "simulated")
        return makeSimulated("VELUNTO_HARDWARE=simulated");

    std::string error;
    std::unique_ptr<PulseAudioHardware> pulse = PulseAudioHardware::connect(serverTimeout, &error);
    if (!pulse)
        return makeSimulated("kein Tonserver erreichbar: " + error);

    std::unique_ptr<HardwareSelection> selection(new HardwareSelection());
    selection->kind_ = Kind::system;
    selection->pulse_ = std::move(pulse);
    selection->installMicrophone();
    // A restarted server has lost our devices: made again once it answers.
    selection->pulse_->setReconnectHandler([selection = selection.get()] {
        std::string problem;
        if (selection->microphone_ && !selection->microphone_->reinstall(&problem))
            log().error("Velunto Mic ließ sich im Tonserver nicht anlegen: %{public}s", problem);
    });
    selection->cameras_ = std::make_shared<V4L2CameraProvider>();
    selection->cameras_->start();
    selection->description_ = "Tonserver " + selection->pulse_->serverDescription() + ", Kameras über V4L2";
    registerEffects();
    log().notice("Hardware: %{public}s", selection->description_);
    return selection;
}

std::unique_ptr<HardwareSelection> HardwareSelection::makeSimulated(const std::string& reason) {
    std::unique_ptr<HardwareSelection> selection(new HardwareSelection());
    selection->kind_ = Kind::simulated;
    selection->simulatedAudio_ = std::make_unique<SimulatedAudioHardware>(SimulatedAudioHardware::standardScenario());
    selection->simulatedCameras_ = std::make_unique<SimulatedCameraHardware>();
    AudioServerPlugInHost::shared().loadInstalledDrivers();
    selection->description_ = "simuliert (" + reason + ")";
    registerEffects();
    log().notice("Hardware: %{public}s", selection->description_);
    return selection;
}

void HardwareSelection::installMicrophone() {
    const PulseVirtualMicrophone::Names names{kVeluntoMicFeedDeviceUID, kVeluntoMicFeedDeviceName, kVeluntoMicDeviceUID,
                                              kVeluntoMicDeviceName,    kVeluntoMicSampleRate,     kVeluntoMicChannels};
    std::string error;
    microphone_ = PulseVirtualMicrophone::install(*pulse_, names, std::chrono::seconds(5), &error);
    if (!microphone_)
        log().error("Velunto Mic ließ sich im Tonserver nicht anlegen: %{public}s", error);
}

HardwareSelection::~HardwareSelection() {
    if (cameras_)
        cameras_->stop();
    if (pulse_)
        pulse_->setReconnectHandler(nullptr);  // returns once a reinstallation under way has finished
    microphone_.reset();
    pulse_.reset();
}

}  // namespace velunto
