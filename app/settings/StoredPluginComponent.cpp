#include "app/settings/StoredPluginComponent.h"

namespace velunto {

JSON StoredPluginComponent::toJSON() const {
    return JSON{{"type", type}, {"subType", subType}, {"manufacturer", manufacturer}};
}

StoredPluginComponent StoredPluginComponent::fromJSON(const JSON& json) {
    return {JSONCoding::uint32(json, "type"), JSONCoding::uint32(json, "subType"),
            JSONCoding::uint32(json, "manufacturer")};
}

}  // namespace velunto
