#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/coreaudio/AudioHardwareObject.h"
#include "platform/coreaudio/AudioServerPlugIn.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

class AudioHardwareServer;
class AudioServerPlugInDevice;

// "'who?'" for four printable characters, the decimal value otherwise.
std::string describeAudioStatus(OSStatus status);

// One driver loaded from a bundle: its shared object, its driver reference, the host interface handed
// to it, the two-way mapping between its object IDs and the server's, and the proxies published for
// its plug-in object, devices and streams.
//
// CF values (names, UIDs) are handed out by a driver without a reference for the caller; the proxies
// retain them before passing them on, and the caller releases them.
class AudioServerPlugInDriver : public std::enable_shared_from_this<AudioServerPlugInDriver> {
public:
    // Takes over `library` (a dlopen handle) and one reference to `driver`.
    AudioServerPlugInDriver(AudioHardwareServer& server, std::filesystem::path bundle, void* library,
                            AudioServerPlugInDriverRef driver);
    ~AudioServerPlugInDriver();
    AudioServerPlugInDriver(const AudioServerPlugInDriver&) = delete;
    AudioServerPlugInDriver& operator=(const AudioServerPlugInDriver&) = delete;

    // Initializes the driver with the host interface and publishes its objects. On failure `reason`
    // says why; the caller then unloads.
    OSStatus start(std::string& reason);
    // Withdraws the devices (which stops their I/O), waits for calls into the driver to finish, aborts
    // configuration changes not yet performed, releases the driver and closes the library. Must not be
    // called from inside a call into the driver. Idempotent.
    void unload();

    const std::filesystem::path& bundle() const { return bundle_; }
    AudioObjectID plugInObjectID() const { return plugInID_; }
    std::vector<AudioObjectID> deviceIDs() const;
    bool isLoaded() const { return (calls_.load() & kClosed) == 0; }

    // Admission to the driver's code for the lifetime of the object: refused once unloading has begun.
    // Real-time safe.
    class Call {
    public:
        explicit Call(const AudioServerPlugInDriver& driver) : driver_(driver), admitted_(driver.enter()) {}
        ~Call() { driver_.leave(); }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        explicit operator bool() const { return admitted_; }

    private:
        const AudioServerPlugInDriver& driver_;
        const bool admitted_;
    };

    // Only inside an admitted Call.
    AudioServerPlugInDriverRef driverRef() const { return driver_; }
    const AudioServerPlugInDriverInterface& functions() const { return **driver_; }

    // Property calls on a driver object for client pid getpid(); ID-valued results carry the server's
    // object IDs (IDs the server does not know are left out of lists).
    bool hasProperty(AudioObjectID driverObjectID, const AudioObjectPropertyAddress& address) const;
    OSStatus readProperty(AudioObjectID driverObjectID, AudioPropertyRequest& request) const;
    bool isPropertySettable(AudioObjectID driverObjectID, const AudioObjectPropertyAddress& address) const;
    OSStatus writeProperty(AudioObjectID driverObjectID, const AudioObjectPropertyAddress& address,
                           UInt32 qualifierSize, const void* qualifier, UInt32 dataSize, const void* data);

    // A fixed-size value straight from the driver, untranslated; nothing if the driver refuses.
    template <class T>
    std::optional<T> read(AudioObjectID driverObjectID, const AudioObjectPropertyAddress& address) const {
        T value{};
        if (readRaw(driverObjectID, address, &value, sizeof value) != sizeof value)
            return std::nullopt;
        return value;
    }

    // kAudioObjectUnknown for IDs without a counterpart.
    AudioObjectID serverID(AudioObjectID driverObjectID) const;
    AudioObjectID driverID(AudioObjectID serverObjectID) const;

private:
    struct HostContext;
    struct PublishedDevice {
        AudioObjectID serverID;
        AudioObjectID driverID;
        std::weak_ptr<AudioServerPlugInDevice> proxy;
    };
    struct PendingChange {
        std::uint64_t token;
        AudioObjectID device;
        UInt64 action;
        void* info;
    };

    static constexpr std::uint32_t kClosed = 0x8000'0000u;

    bool enter() const;
    void leave() const;
    std::size_t readRaw(AudioObjectID driverObjectID, const AudioObjectPropertyAddress& address, void* data,
                        std::size_t size) const;
    std::optional<std::vector<AudioObjectID>> readIDList(AudioObjectID driverObjectID,
                                                         AudioObjectPropertySelector selector) const;
    std::optional<std::string> readString(AudioObjectID driverObjectID, AudioObjectPropertySelector selector) const;
    AudioObjectID mapObject(AudioObjectID driverObjectID);
    void publishDevice(AudioObjectID driverDeviceID);
    UInt32 translateResult(AudioObjectPropertySelector selector, void* data, UInt32 size) const;

    // The host interface, called by the driver.
    OSStatus propertiesChanged(AudioObjectID driverObjectID, UInt32 count, const AudioObjectPropertyAddress* addresses);
    OSStatus copyFromStorage(CFStringRef key, CFTypeRef* data);
    OSStatus writeToStorage(CFStringRef key, CFTypeRef data);
    OSStatus deleteFromStorage(CFStringRef key);
    OSStatus requestConfigurationChange(AudioObjectID driverDeviceID, UInt64 action, void* info);
    void performConfigurationChange(std::uint64_t token);

    AudioHardwareServer& server_;
    const std::filesystem::path bundle_;
    void* library_;
    const AudioServerPlugInDriverRef driver_;
    const std::unique_ptr<HostContext> host_;
    const DispatchQueue configurationQueue_;
    mutable std::atomic<std::uint32_t> calls_{0};  // calls in flight, | kClosed once unloading

    AudioObjectID plugInID_ = kAudioObjectUnknown;
    mutable std::mutex mutex_;
    bool unloaded_ = false;
    std::map<AudioObjectID, AudioObjectID> toServer_;
    std::map<AudioObjectID, AudioObjectID> toDriver_;
    std::vector<PublishedDevice> devices_;
    std::vector<AudioObjectID> streams_;
    std::map<std::string, CFTypeRef> storage_;
    std::vector<PendingChange> pendingChanges_;
    std::uint64_t nextChangeToken_ = 1;
};

}  // namespace velunto
