#include "platform/coreaudio/AudioServerPlugInHost.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "platform/coreaudio/AudioHardwareServer.h"
#include "platform/coreaudio/AudioServerPlugIn.h"
#include "platform/coreaudio/AudioServerPlugInDriver.h"
#include "platform/corefoundation/CFStringBridge.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

namespace fs = std::filesystem;

const Logger& logger() {
    static const Logger instance("velunto.platform", "AudioServer");
    return instance;
}

struct BundleEntry {
    fs::path executable;
    std::string factory;
};

CFOwned<CFUUIDRef> parseUUID(const std::string& text) {
    const auto string = makeCFString(text);
    if (!string)
        return {};
    return CFOwned<CFUUIDRef>::adopt(CFUUIDCreateFromString(kCFAllocatorDefault, string.get()));
}

bool sameUUID(const std::string& text, CFUUIDRef uuid) {
    const auto parsed = parseUUID(text);
    return parsed && CFEqual(parsed.get(), uuid);
}

const PropertyListValue* entry(const PropertyListValue::Dictionary& dictionary, const std::string& key) {
    auto it = dictionary.find(key);
    return it == dictionary.end() ? nullptr : &it->second;
}

// The executable and the factory function for the audio server plug-in type, or why there are none.
std::optional<BundleEntry> readBundle(const fs::path& bundle, std::string& reason) {
    std::ifstream file(bundle / "Contents" / "Info.plist", std::ios::binary);
    if (!file) {
        reason = "Contents/Info.plist cannot be read";
        return std::nullopt;
    }
    const Data bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const auto plist = PropertyListSerialization::propertyList(bytes);
    const auto* info = plist ? plist->dictionary() : nullptr;
    if (!info) {
        reason = "Contents/Info.plist is not a property list dictionary";
        return std::nullopt;
    }
    const auto* executableEntry = entry(*info, "CFBundleExecutable");
    const std::string* executable = executableEntry ? executableEntry->string() : nullptr;
    if (!executable || executable->empty() || fs::path(*executable).filename() != *executable) {
        reason = "Info.plist names no CFBundleExecutable file";
        return std::nullopt;
    }
    const auto* typesEntry = entry(*info, "CFPlugInTypes");
    const auto* factoriesEntry = entry(*info, "CFPlugInFactories");
    const auto* types = typesEntry ? typesEntry->dictionary() : nullptr;
    const auto* factories = factoriesEntry ? factoriesEntry->dictionary() : nullptr;
    if (!types || !factories) {
        reason = "Info.plist lacks the CFPlugInTypes or CFPlugInFactories dictionary";
        return std::nullopt;
    }
    for (const auto& [type, factoryList] : *types) {
        const auto* factoryIDs = factoryList.array();
        if (!factoryIDs || !sameUUID(type, kAudioServerPlugInTypeUUID))
            continue;
        for (const auto& factoryID : *factoryIDs) {
            const std::string* text = factoryID.string();
            const auto wanted = text ? parseUUID(*text) : CFOwned<CFUUIDRef>();
            if (!wanted)
                continue;
            for (const auto& [id, functionEntry] : *factories) {
                const std::string* function = functionEntry.string();
                if (function && !function->empty() && sameUUID(id, wanted.get()))
                    return BundleEntry{bundle / "Contents" / "Linux" / *executable, *function};
            }
        }
    }
    reason = "Info.plist lists no factory for the audio server plug-in type";
    return std::nullopt;
}

OSStatus refuse(const fs::path& bundle, const std::string& reason, OSStatus status) {
    logger().error("Refusing driver bundle %{public}s: %{public}s", bundle.string(), reason);
    return status;
}

std::string dynamicLinkerError() {
    const char* message = dlerror();
    return message ? message : "unknown error";
}

}  // namespace

AudioServerPlugInHost::AudioServerPlugInHost(AudioHardwareServer& server) : server_(server) {}

AudioServerPlugInHost::AudioServerPlugInHost() : AudioServerPlugInHost(AudioHardwareServer::shared()) {}

AudioServerPlugInHost::~AudioServerPlugInHost() {
    unloadAll();
}

OSStatus AudioServerPlugInHost::load(const fs::path& path, AudioObjectID* outPlugInObjectID) {
    std::error_code error;
    fs::path bundle = fs::weakly_canonical(path, error);
    if (error)
        bundle = path;
    std::lock_guard lock(mutex_);
    if (std::any_of(drivers_.begin(), drivers_.end(), [&](const auto& d) { return d->bundle() == bundle; }))
        return refuse(bundle, "it is already loaded", kAudioHardwareIllegalOperationError);

    std::string reason;
    const auto contents = readBundle(bundle, reason);
    if (!contents)
        return refuse(bundle, reason, kAudioHardwareUnspecifiedError);

    void* library = dlopen(contents->executable.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return refuse(bundle, "dlopen failed: " + dynamicLinkerError(), kAudioHardwareUnspecifiedError);
    const auto fail = [&](const std::string& why) {
        dlclose(library);
        return refuse(bundle, why, kAudioHardwareUnspecifiedError);
    };
    auto* factory = reinterpret_cast<AudioServerPlugInFactoryFunction>(dlsym(library, contents->factory.c_str()));
    if (!factory)
        return fail("the factory function " + contents->factory + " is not exported");
    auto* unknown =
        static_cast<AudioServerPlugInDriverInterface**>(factory(kCFAllocatorDefault, kAudioServerPlugInTypeUUID));
    if (!unknown)
        return fail("the factory " + contents->factory + " returned no driver");
    if (!*unknown || !(*unknown)->QueryInterface || !(*unknown)->Release)
        return fail("the factory " + contents->factory + " returned an object without an interface table");

    LPVOID interface = nullptr;
    const HRESULT result =
        (*unknown)->QueryInterface(unknown, CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID), &interface);
    (*unknown)->Release(unknown);  // the factory's reference; a successful query holds its own
    if (result != 0 || !interface)
        return fail("the driver does not provide the driver interface (QueryInterface returned " +
                    std::to_string(result) + ")");
    auto driverRef = static_cast<AudioServerPlugInDriverRef>(interface);
    const AudioServerPlugInDriverInterface* table = *driverRef;
    if (!table || !table->Release || !table->Initialize || !table->HasProperty || !table->IsPropertySettable ||
        !table->GetPropertyDataSize || !table->GetPropertyData) {
        if (table && table->Release)
            table->Release(driverRef);
        return fail("the driver interface lacks required functions");
    }

    auto driver = std::make_shared<AudioServerPlugInDriver>(server_, bundle, library, driverRef);
    if (const OSStatus status = driver->start(reason); status != kAudioHardwareNoError) {
        driver->unload();
        return refuse(bundle, reason, status);
    }
    logger().info("Loaded driver bundle %{public}s with %zu device(s)", bundle.string(), driver->deviceIDs().size());
    if (outPlugInObjectID)
        *outPlugInObjectID = driver->plugInObjectID();
    drivers_.push_back(std::move(driver));
    return kAudioHardwareNoError;
}

std::size_t AudioServerPlugInHost::loadAll(const fs::path& directory) {
    std::error_code error;
    std::vector<fs::path> bundles;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error))
        if (it->path().extension() == ".driver" && it->is_directory(error))
            bundles.push_back(it->path());
    if (error) {
        logger().error("Cannot list driver bundles in %{public}s: %{public}s", directory.string(), error.message());
        return 0;
    }
    std::sort(bundles.begin(), bundles.end());
    return static_cast<std::size_t>(std::count_if(
        bundles.begin(), bundles.end(), [&](const fs::path& bundle) { return load(bundle) == kAudioHardwareNoError; }));
}

std::shared_ptr<AudioServerPlugInDriver> AudioServerPlugInHost::find(const fs::path& path) const {
    std::error_code error;
    fs::path bundle = fs::weakly_canonical(path, error);
    if (error)
        bundle = path;
    auto it = std::find_if(drivers_.begin(), drivers_.end(), [&](const auto& d) { return d->bundle() == bundle; });
    return it == drivers_.end() ? nullptr : *it;
}

bool AudioServerPlugInHost::unload(const fs::path& bundle) {
    std::lock_guard lock(mutex_);
    auto driver = find(bundle);
    if (!driver)
        return false;
    driver->unload();
    std::erase(drivers_, driver);
    return true;
}

void AudioServerPlugInHost::unloadAll() {
    std::lock_guard lock(mutex_);
    while (!drivers_.empty()) {
        drivers_.back()->unload();
        drivers_.pop_back();
    }
}

std::vector<fs::path> AudioServerPlugInHost::loadedBundles() const {
    std::lock_guard lock(mutex_);
    std::vector<fs::path> bundles;
    for (const auto& driver : drivers_)
        bundles.push_back(driver->bundle());
    return bundles;
}

std::vector<AudioObjectID> AudioServerPlugInHost::deviceIDs(const fs::path& bundle) const {
    std::lock_guard lock(mutex_);
    auto driver = find(bundle);
    return driver ? driver->deviceIDs() : std::vector<AudioObjectID>{};
}

std::filesystem::path AudioServerPlugInHost::installedDriversDirectory() {
    std::filesystem::path base;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) {
        base = data;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::filesystem::path(home) / ".local" / "share";
    } else {
        base = std::filesystem::temp_directory_path();
    }
    return base / "velunto" / "drivers";
}

std::size_t AudioServerPlugInHost::loadInstalledDrivers() {
    const auto directory = installedDriversDirectory();
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error))
        return 0;
    return loadAll(directory);
}

AudioServerPlugInHost& AudioServerPlugInHost::shared() {
    static AudioServerPlugInHost* host = new AudioServerPlugInHost();  // device threads may outlive main
    return *host;
}

}  // namespace velunto
