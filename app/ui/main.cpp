// velunto: the tray application.
#include "app/ui/VeluntoApp.h"

int main(int argc, char** argv) {
    velunto::VeluntoApp app(argc, argv);
    return app.run();
}
