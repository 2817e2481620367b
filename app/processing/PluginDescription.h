#pragma once

#include <string>

#include "platform/audiounit/AudioUnit.h"

namespace velunto {

// An installed effect as the plug-in menu offers it. Identified by type, subtype and manufacturer
// only: names and flags play no part in equality.
struct PluginDescription {
    std::string name;
    std::string manufacturerName;
    AudioComponentDescription componentDescription{};

    // "<type>-<subType>-<manufacturer>", each an unsigned decimal: "1635083896-…" for an 'aufx'.
    std::string id() const;

    friend bool operator==(const PluginDescription& a, const PluginDescription& b) { return a.id() == b.id(); }
};

}  // namespace velunto
