// velunto: the tray application, on the desktop's sound server and cameras when there is one, else on
// the simulated hardware.
#include "app/ui/HardwareSelection.h"
#include "app/ui/VeluntoApp.h"

int main(int argc, char** argv) {
    using namespace velunto;
    const std::unique_ptr<HardwareSelection> hardware = HardwareSelection::choose();
    VeluntoApp app(argc, argv);
    return app.run();
}
