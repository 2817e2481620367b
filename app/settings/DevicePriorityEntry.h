#pragma once

#include "app/settings/JSONCoding.h"

#include <string>

namespace velunto {

// One device of the priority list; `uid` never changes after creation, `name` is the display name
// at the time the entry was made.
struct DevicePriorityEntry {
    std::string uid;
    std::string name;

    friend bool operator==(const DevicePriorityEntry&, const DevicePriorityEntry&) = default;

    // {"uid":"…","name":"…"}
    JSON toJSON() const;
    static DevicePriorityEntry fromJSON(const JSON& json);
};

}  // namespace velunto
