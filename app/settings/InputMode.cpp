#include "app/settings/InputMode.h"

namespace velunto {

JSON InputMode::toJSON() const {
    switch (kind) {
        case Kind::systemDefault:
            return JSONCoding::enumCase("systemDefault");
        case Kind::fixed:
            return JSONCoding::enumCase("fixed", JSON{{"uid", uid}});
        case Kind::priority:
            return JSONCoding::enumCase("priority");
    }
    throw EncodingError("Unknown input mode.");
}

InputMode InputMode::fromJSON(const JSON& json) {
    const std::string_view name = JSONCoding::oneCase(json, {"systemDefault", "fixed", "priority"});
    if (name == "fixed") {
        return fixed(JSONCoding::string(json.at("fixed"), "uid"));
    }
    return name == "priority" ? priority() : systemDefault();
}

}  // namespace velunto
