#pragma once

#include "app/settings/JSONCoding.h"

#include <cstdint>

namespace velunto {

// Persistent identity of the chosen effect plug-in: three four-character codes of its component
// description ('aufx' is 1635083896).
struct StoredPluginComponent {
    std::uint32_t type = 0;
    std::uint32_t subType = 0;
    std::uint32_t manufacturer = 0;

    friend bool operator==(const StoredPluginComponent&, const StoredPluginComponent&) = default;

    // {"type":n,"subType":n,"manufacturer":n}, each an unsigned decimal
    JSON toJSON() const;
    static StoredPluginComponent fromJSON(const JSON& json);
};

}  // namespace velunto
