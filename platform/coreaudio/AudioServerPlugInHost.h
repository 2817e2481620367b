#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/coreaudio/AudioHardwareBase.h"

namespace velunto {

class AudioHardwareServer;
class AudioServerPlugInDriver;

// Loads driver plug-ins from bundles and publishes their devices on the audio server.
//
// A bundle is a directory `<name>.driver` with `Contents/Info.plist` (XML or binary) naming
// CFBundleExecutable (a shared object in `Contents/Linux/`), CFPlugInFactories {factory UUID: function
// name} and CFPlugInTypes {type UUID: [factory UUIDs]}. The host calls the factory listed for the audio
// server plug-in type, asks the result for the driver interface and initializes the driver; then it
// publishes a proxy for the plug-in object, each device (which joins the server's device list) and
// each device's streams.
//
// Loading and unloading must not be called from inside a call the driver makes into the host.
class AudioServerPlugInHost {
public:
    explicit AudioServerPlugInHost(AudioHardwareServer& server);
    AudioServerPlugInHost();  // the shared server
    // Unloads every driver.
    ~AudioServerPlugInHost();
    AudioServerPlugInHost(const AudioServerPlugInHost&) = delete;
    AudioServerPlugInHost& operator=(const AudioServerPlugInHost&) = delete;

    // A bundle that cannot be used is refused with a log line naming it and the reason:
    // 'nope' if it is already loaded, 'what' if the bundle or its library is unusable, or the driver's
    // status if it fails to initialize or to list its devices.
    OSStatus load(const std::filesystem::path& bundle, AudioObjectID* outPlugInObjectID = nullptr);
    // Every `*.driver` directory in `directory`, in name order; returns how many were loaded.
    std::size_t loadAll(const std::filesystem::path& directory);

    // Withdraws the driver's devices (stopping their I/O), releases the driver and closes its library.
    // False if the bundle is not loaded.
    bool unload(const std::filesystem::path& bundle);
    void unloadAll();

    std::vector<std::filesystem::path> loadedBundles() const;

    // Where installed drivers live: $XDG_DATA_HOME/velunto/drivers (~/.local/share/velunto/drivers).
    static std::filesystem::path installedDriversDirectory();
    // The host of the process's audio server, which the application asks to load the installed
    // drivers at start-up; it lives until the process ends.
    static AudioServerPlugInHost& shared();
    // None installed (no such directory) loads nothing and is no error.
    std::size_t loadInstalledDrivers();
    // The server's IDs of the devices of one loaded bundle, in the driver's order.
    std::vector<AudioObjectID> deviceIDs(const std::filesystem::path& bundle) const;

private:
    std::shared_ptr<AudioServerPlugInDriver> find(const std::filesystem::path& bundle) const;

    AudioHardwareServer& server_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<AudioServerPlugInDriver>> drivers_;
};

}  // namespace velunto
