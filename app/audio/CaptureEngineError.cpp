#include "app/audio/CaptureEngineError.h"

namespace velunto {

std::string CaptureEngineError::localizedDescription() const {
    switch (kind_) {
        case Kind::inputUnitUnavailable:
            return "Eingangs-AudioUnit nicht verfügbar.";
        case Kind::deviceNotSettable:
            return "Eingangsgerät konnte nicht gesetzt werden.";
    }
    return {};
}

}  // namespace velunto
