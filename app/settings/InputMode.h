#pragma once

#include "app/settings/JSONCoding.h"

#include <string>

namespace velunto {

// How the input device is chosen.
struct InputMode {
    enum class Kind { systemDefault, fixed, priority };

    Kind kind = Kind::systemDefault;
    std::string uid;  // the device of `fixed`; empty otherwise

    static InputMode systemDefault() { return {}; }
    static InputMode fixed(std::string deviceUID) { return {Kind::fixed, std::move(deviceUID)}; }
    static InputMode priority() { return {Kind::priority, {}}; }

    friend bool operator==(const InputMode&, const InputMode&) = default;

    // {"systemDefault":{}}, {"fixed":{"uid":"…"}}, {"priority":{}}
    JSON toJSON() const;
    static InputMode fromJSON(const JSON& json);
};

}  // namespace velunto
