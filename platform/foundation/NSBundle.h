#pragma once

#include "platform/foundation/PropertyListValue.h"

#include <filesystem>
#include <optional>
#include <string>

namespace velunto {

// The application's bundle: its Info.plist (XML or binary property list).
//
// The main bundle reads `Info.plist` from the directory named by $VELUNTO_BUNDLE_DIR if that is set,
// else from the executable's folder, else from `Resources/` in the folder above it. A file that is
// missing, unreadable or not a dictionary gives an empty info dictionary (logged at error level
// unless simply absent). Not synchronized: reload() and setInfoDictionary() belong before other
// threads read the bundle.
class NSBundle {
public:
    static NSBundle& mainBundle();

    // A bundle with the info dictionary of <directory>/Info.plist (empty if there is none).
    explicit NSBundle(const std::filesystem::path& directory);
    // A bundle with the given info dictionary and no file.
    explicit NSBundle(PropertyListValue::Dictionary info);

    const PropertyListValue::Dictionary& infoDictionary() const { return info_; }
    std::optional<PropertyListValue> objectForInfoDictionaryKey(const std::string& key) const;
    // The value if it is a string.
    std::optional<std::string> stringForInfoDictionaryKey(const std::string& key) const;
    // The Info.plist the dictionary came from, if any.
    const std::optional<std::filesystem::path>& infoPlistPath() const { return infoPlistPath_; }

    // Tests: replaces the info dictionary.
    void setInfoDictionary(PropertyListValue::Dictionary info);
    // Repeats the main bundle's lookup (e.g. after $VELUNTO_BUNDLE_DIR changed).
    void reload();

    // The Info.plist the main bundle uses now, if one of the candidates exists.
    static std::optional<std::filesystem::path> locateMainInfoPlist();

private:
    NSBundle() = default;
    void load(const std::optional<std::filesystem::path>& file);

    PropertyListValue::Dictionary info_;
    std::optional<std::filesystem::path> infoPlistPath_;
};

}  // namespace velunto
