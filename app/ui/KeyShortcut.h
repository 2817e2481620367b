#pragma once

#include "app/settings/JSONCoding.h"

#include <cstdint>
#include <string>

namespace velunto {

// A key combination for the global pause shortcut.
struct KeyShortcut {
    std::uint32_t keyCode = 0;    // virtual key code, e.g. 49 for the space bar
    std::uint32_t modifiers = 0;  // command 0x0100, shift 0x0200, option 0x0800, control 0x1000
    std::string display;          // what the user sees, e.g. "⌃⌥P"

    friend bool operator==(const KeyShortcut&, const KeyShortcut&) = default;

    // {"keyCode":n,"modifiers":n,"display":"…"}
    JSON toJSON() const;
    static KeyShortcut fromJSON(const JSON& json);
};

}  // namespace velunto
