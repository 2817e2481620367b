// velunto-camera-extension: publishes the virtual camera "Velunto Kamera" until it is stopped.
#include "camera-extension/CameraProviderSource.h"
#include "platform/coremediaio/CMIOExtensionProvider.h"
#include "platform/dispatch/MainRunLoop.h"

int main() {
    using namespace velunto;
    MainRunLoop::attachCurrentThread();
    const auto providerSource = CameraProviderSource::make();
    CMIOExtensionProvider::startServiceWithProvider(providerSource->provider());
    MainRunLoop::run();
    return 0;
}
