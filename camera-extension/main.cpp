// velunto-camera-extension: publishes the virtual camera "Velunto Kamera" until it is stopped, and
// writes it into a v4l2loopback device where there is one (not with VELUNTO_HARDWARE=simulated).
#include <cstdlib>
#include <string>

#include "camera-extension/CameraProviderSource.h"
#include "platform/coremediaio/CMIOExtensionProvider.h"
#include "platform/dispatch/MainRunLoop.h"

int main() {
    using namespace velunto;
    MainRunLoop::attachCurrentThread();
    const auto providerSource = CameraProviderSource::make();
    CMIOExtensionProvider::startServiceWithProvider(providerSource->provider());
    const char* hardware = std::getenv("VELUNTO_HARDWARE");
    if (hardware == nullptr || std::string(hardware) != "simulated")
        providerSource->queue().async([device = providerSource->deviceSource()] {
            device->attachLoopback(std::make_unique<V4L2LoopbackOutput>());
        });
    MainRunLoop::run();
    return 0;
}
