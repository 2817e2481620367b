#pragma once

#include <string>

namespace velunto {

// A real camera offered to the user, keyed by its persistent unique identifier.
struct CameraInfo {
    std::string uniqueID;
    std::string name;

    friend bool operator==(const CameraInfo&, const CameraInfo&) = default;
};

}  // namespace velunto
