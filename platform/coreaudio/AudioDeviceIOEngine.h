#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/coreaudio/AudioBufferListStorage.h"
#include "platform/coreaudio/AudioHardware.h"
#include "platform/coreaudio/AudioHardwareDevice.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

// A client's I/O proc on one device; its address is the AudioDeviceIOProcID.
struct AudioDeviceIOProcRecord {
    AudioObjectID device = kAudioObjectUnknown;
    AudioDeviceIOProc proc = nullptr;
    void* clientData = nullptr;
    bool running = false;  // guarded by the engine's mutex
};

// Runs one device's I/O cycles while at least one proc is started: each cycle is scheduled at the host
// time of the next multiple of the buffer frame size on the device's timeline, on the engine's serial
// queue (a thread of its own in real time, the virtual clock in tests). A cycle reads the device's
// input, calls every running proc with it and a zeroed output, and hands the mix to the device.
class AudioDeviceIOEngine : public std::enable_shared_from_this<AudioDeviceIOEngine> {
public:
    explicit AudioDeviceIOEngine(std::shared_ptr<AudioHardwareDevice> device);
    ~AudioDeviceIOEngine();
    AudioDeviceIOEngine(const AudioDeviceIOEngine&) = delete;
    AudioDeviceIOEngine& operator=(const AudioDeviceIOEngine&) = delete;

    OSStatus start(AudioDeviceIOProcRecord& record);
    // Returns once the proc is not running; may be called from inside a proc.
    void stop(AudioDeviceIOProcRecord& record);
    // The device has gone: every proc stops, no cycle runs again.
    void shutdown();

    std::uint64_t cycleCount() const;

private:
    void scheduleLocked();
    void runCycle(std::uint64_t generation);
    // Returns the I/O queue for the caller to release once the lock is no longer held.
    std::optional<DispatchQueue> stopDeviceLocked();

    const std::shared_ptr<AudioHardwareDevice> device_;
    mutable std::recursive_mutex mutex_;
    std::vector<AudioDeviceIOProcRecord*> running_;
    std::optional<DispatchQueue> queue_;
    std::uint64_t generation_ = 0;
    bool shutDown_ = false;
    double nextSampleTime_ = 0;
    std::uint64_t cycles_ = 0;
    bool promoted_ = false;  // the I/O thread asked for real-time scheduling
    AudioDeviceIOLayout layout_;
    AudioBufferListStorage input_;
    AudioBufferListStorage mix_;
    AudioBufferListStorage scratch_;
};

}  // namespace velunto
