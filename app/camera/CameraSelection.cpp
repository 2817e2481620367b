#include "app/camera/CameraSelection.h"

namespace velunto {

JSON CameraSelection::toJSON() const {
    switch (kind) {
        case Kind::automatic:
            return JSONCoding::enumCase("automatic");
        case Kind::none:
            return JSONCoding::enumCase("none");
        case Kind::device:
            return JSONCoding::enumCase("device", JSON{{"uniqueID", uniqueID}});
    }
    throw EncodingError("Unknown camera selection.");
}

CameraSelection CameraSelection::fromJSON(const JSON& json) {
    const std::string_view name = JSONCoding::oneCase(json, {"automatic", "none", "device"});
    if (name == "device") {
        return device(JSONCoding::string(json.at("device"), "uniqueID"));
    }
    return name == "none" ? none() : automatic();
}

}  // namespace velunto
