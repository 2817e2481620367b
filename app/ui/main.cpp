// velunto: the tray application. Until it talks to the desktop's sound server and cameras it runs on
// the simulated hardware: a built-in microphone and speakers, a USB headset, two cameras and the
// built-in effects, with the virtual microphone when it is installed.
#include "app/ui/VeluntoApp.h"
#include "platform/coreaudio/AudioServerPlugInHost.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedCameraHardware.h"
#include "platform/sim/SimulatedEffects.h"

int main(int argc, char** argv) {
    using namespace velunto;
    SimulatedAudioHardware audio(SimulatedAudioHardware::standardScenario());
    SimulatedCameraHardware cameras;
    registerSimulatedEffects();
    AudioServerPlugInHost::shared().loadInstalledDrivers();
    VeluntoApp app(argc, argv);
    return app.run();
}
