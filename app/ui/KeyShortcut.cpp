#include "app/ui/KeyShortcut.h"

namespace velunto {

JSON KeyShortcut::toJSON() const {
    return JSON{{"keyCode", keyCode}, {"modifiers", modifiers}, {"display", display}};
}

KeyShortcut KeyShortcut::fromJSON(const JSON& json) {
    return {JSONCoding::uint32(json, "keyCode"), JSONCoding::uint32(json, "modifiers"),
            JSONCoding::string(json, "display")};
}

}  // namespace velunto
