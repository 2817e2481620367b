#include "app/settings/DevicePriorityEntry.h"

namespace velunto {

JSON DevicePriorityEntry::toJSON() const {
    return JSON{{"uid", uid}, {"name", name}};
}

DevicePriorityEntry DevicePriorityEntry::fromJSON(const JSON& json) {
    return {JSONCoding::string(json, "uid"), JSONCoding::string(json, "name")};
}

}  // namespace velunto
