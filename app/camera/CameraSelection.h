#pragma once

#include "app/settings/JSONCoding.h"

#include <string>

namespace velunto {

// Which camera feeds the virtual camera.
struct CameraSelection {
    enum class Kind { automatic, none, device };

    Kind kind = Kind::automatic;
    std::string uniqueID;  // the camera of `device`; empty otherwise

    static CameraSelection automatic() { return {}; }
    static CameraSelection none() { return {Kind::none, {}}; }
    static CameraSelection device(std::string cameraUniqueID) { return {Kind::device, std::move(cameraUniqueID)}; }

    friend bool operator==(const CameraSelection&, const CameraSelection&) = default;

    // {"automatic":{}}, {"none":{}}, {"device":{"uniqueID":"…"}}
    JSON toJSON() const;
    static CameraSelection fromJSON(const JSON& json);
};

}  // namespace velunto
