#include "platform/foundation/NSBundle.h"

#include "platform/foundation/PropertyListSerialization.h"
#include "platform/oslog/Logger.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace velunto {

namespace {

const Logger& logger() {
    static const Logger instance("app.velunto.foundation", "NSBundle");
    return instance;
}

std::optional<std::filesystem::path> existingFile(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::is_regular_file(path, error))
        return path;
    return std::nullopt;
}

}  // namespace

NSBundle& NSBundle::mainBundle() {
    static NSBundle* const bundle = [] {
        auto* made = new NSBundle();  // never destroyed: readers may outlive static destruction
        made->reload();
        return made;
    }();
    return *bundle;
}

NSBundle::NSBundle(const std::filesystem::path& directory) {
    load(existingFile(directory / "Info.plist"));
}

NSBundle::NSBundle(PropertyListValue::Dictionary info) : info_(std::move(info)) {}

std::optional<std::filesystem::path> NSBundle::locateMainInfoPlist() {
    if (const char* directory = std::getenv("VELUNTO_BUNDLE_DIR"); directory != nullptr && *directory != '\0')
        return existingFile(std::filesystem::path(directory) / "Info.plist");
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return std::nullopt;
    const std::filesystem::path folder = executable.parent_path();
    if (auto file = existingFile(folder / "Info.plist"))
        return file;
    return existingFile(folder.parent_path() / "Resources" / "Info.plist");
}

void NSBundle::reload() {
    load(locateMainInfoPlist());
}

void NSBundle::load(const std::optional<std::filesystem::path>& file) {
    info_.clear();
    infoPlistPath_.reset();
    if (!file)
        return;
    std::ifstream stream(*file, std::ios::binary);
    std::ostringstream text;
    if (!(text << stream.rdbuf())) {
        logger().error("Cannot read %{public}s", file->string());
        return;
    }
    const std::string contents = std::move(text).str();
    const Data bytes(contents.begin(), contents.end());
    auto value = PropertyListSerialization::propertyList(bytes);
    const auto* dictionary = value ? value->dictionary() : nullptr;
    if (!dictionary) {
        logger().error("%{public}s is not a property list dictionary", file->string());
        return;
    }
    info_ = *dictionary;
    infoPlistPath_ = file;
}

std::optional<PropertyListValue> NSBundle::objectForInfoDictionaryKey(const std::string& key) const {
    const auto found = info_.find(key);
    if (found == info_.end())
        return std::nullopt;
    return found->second;
}

std::optional<std::string> NSBundle::stringForInfoDictionaryKey(const std::string& key) const {
    const auto found = info_.find(key);
    if (found == info_.end())
        return std::nullopt;
    if (const auto* text = found->second.string())
        return *text;
    return std::nullopt;
}

void NSBundle::setInfoDictionary(PropertyListValue::Dictionary info) {
    info_ = std::move(info);
    infoPlistPath_.reset();
}

}  // namespace velunto
