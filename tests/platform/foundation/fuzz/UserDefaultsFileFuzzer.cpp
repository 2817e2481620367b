// A user-defaults file on disk with arbitrary contents, opened by UserDefaults. A file that decodes to a dictionary
// is served as it is and left in place; anything else is moved aside whole to <domain>.plist.corrupt-<time>, logged
// once at error level, and the database starts empty. Either way the next change writes a file that opens again
// with every value in it.
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/oslog/LogCapture.h"
#include "platform/oslog/LogSinks.h"

#include "tests/platform/foundation/fuzz/PropertyListRoundTrip.h"

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace velunto {
namespace {

constexpr const char* kDomain = "app.velunto.fuzz";
constexpr const char* kProbeKey = "app.velunto.fuzz.probe";

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "user-defaults fuzz check failed: %s\n", what);
        std::abort();
    }
}

// A directory of this process on tmpfs if there is one, emptied for every input and removed at exit (the path
// is never destroyed, so that it outlives the exit handler).
const std::filesystem::path& directory() {
    static const std::filesystem::path* const path = [] {
        const std::filesystem::path base =
            std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
        std::string pattern = (base / "velunto-defaults-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            std::abort();
        LogSinks::setStderrEnabled(false);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(directory(), ignored);
        });
        return new std::filesystem::path(pattern);
    }();
    return *path;
}

Data contents(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return Data(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

std::vector<std::filesystem::path> entries() {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(directory()))
        found.push_back(entry.path());
    return found;
}

std::size_t errorsLogged(const LogCapture& log) {
    std::size_t count = 0;
    for (const LogEntry& entry : log.entries("UserDefaults"))
        count += entry.type == OSLogType::error ? 1 : 0;
    return count;
}

}  // namespace
}  // namespace velunto

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velunto;
    const std::filesystem::path& folder = directory();
    for (const auto& entry : entries())
        std::filesystem::remove_all(entry);
    const std::filesystem::path file = folder / (std::string(kDomain) + ".plist");
    const Data bytes(data, data + size);
    {
        std::ofstream stream(file, std::ios::binary);
        stream.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    const auto decoded = PropertyListSerialization::propertyList(bytes);
    const bool isValid = decoded && decoded->isDictionary();
    PropertyListValue::Dictionary expected =
        isValid ? decoded->get<PropertyListValue::Dictionary>() : PropertyListValue::Dictionary{};

    {
        LogCapture log;
        const auto defaults = UserDefaults::persistent(kDomain, folder);
        const auto files = entries();
        if (isValid) {
            require(errorsLogged(log) == 0, "opening a valid file logged an error");
            require(files.size() == 1 && contents(file) == bytes, "opening a valid file changed it");
            for (const auto& [key, value] : expected) {
                const auto stored = defaults->object(key);
                require(stored && fuzzing::samePropertyList(*stored, value), "a stored value reads differently");
            }
        } else {
            require(errorsLogged(log) == 1, "a corrupt file was not logged exactly once");
            require(
                files.size() == 1 && files[0].filename().string().starts_with(kDomain + std::string(".plist.corrupt-")),
                "a corrupt file was not moved aside");
            require(contents(files[0]) == bytes, "the corrupt file's contents were not kept");
        }
        if (defaults->object(kProbeKey))
            return 0;  // the file's own probe value; the write below must not be taken for a change
        PropertyListValue::Dictionary changed = expected;
        changed.insert_or_assign(kProbeKey, PropertyListValue("written"));
        if (!PropertyListSerialization::isWithinLimits(PropertyListValue(changed)))
            return 0;  // a refused change is logged and leaves the file as it was
        defaults->set(kProbeKey, PropertyListValue("written"));
        expected = std::move(changed);
    }

    LogCapture log;
    const auto reopened = UserDefaults::persistent(kDomain, folder);
    require(errorsLogged(log) == 0, "the file written after a change does not open");
    const auto written = PropertyListSerialization::propertyList(contents(file));
    require(written && written->isDictionary(), "the written file is not a dictionary");
    require(fuzzing::isFaithfulRoundTrip(PropertyListValue(expected), *written),
            "the written file does not hold the values");
    const auto probe = reopened->object(kProbeKey);
    require(probe && *probe == PropertyListValue("written"), "the change was not written");
    return 0;
}
