#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/coreaudio/AudioHardwareDevice.h"
#include "platform/pulse/AudioClockEstimator.h"
#include "platform/pulse/SampleTimeBuffer.h"

struct pa_stream;

namespace velunto {

class PulseMainLoop;

// What the sound server tells about one of its sources or sinks.
struct PulseDeviceInfo {
    enum class Kind { source, sink };
    Kind kind = Kind::source;
    std::uint32_t index = 0;
    std::string name;  // the server's stable name: our UID
    std::string description;
    std::string vendor;
    std::uint32_t channels = 2;
    std::uint32_t rate = 48000;
    std::string channelMap;  // pa_channel_map_snprint form
    bool hidden = false;
    UInt32 transportType = kAudioDeviceTransportTypeUnknown;

    // The transport type from the device's properties: bus, form factor, class and the module that made it.
    static UInt32 transportTypeFor(const std::string& bus, const std::string& formFactor,
                                   const std::string& deviceClass, const std::string& driver);
};

// A source (input) or sink (output) of the sound server as a device of the audio hardware layer. While
// its I/O runs, a low-latency stream of the device's own format connects it: a recording stream's data is
// placed by sample time for readInput, a playback stream takes what writeOutput placed. The device's
// timeline follows the stream's clock.
class PulseAudioDevice : public AudioHardwareDevice {
public:
    PulseAudioDevice(AudioObjectID objectID, PulseDeviceInfo info, PulseMainLoop& loop);
    ~PulseAudioDevice() override;

    PulseDeviceInfo info() const;
    // Takes newer facts from the server; returns what changed as selectors to announce.
    std::vector<AudioObjectPropertySelector> update(const PulseDeviceInfo& info);
    void markDead();

    OSStatus readProperty(AudioPropertyRequest& request) const override;

    std::string uid() const override { return uid_; }
    bool isAlive() const override;
    bool isHidden() const override;
    AudioDeviceIOLayout ioLayout() const override;
    AudioDeviceTimeline timeline() const override;
    OSStatus startIO() override;
    void stopIO() override;
    void readInput(const AudioDeviceIOCycle& cycle, AudioBufferList& input) override;
    void writeOutput(const AudioDeviceIOCycle& cycle, const AudioBufferList& output) override;

    // Frames the I/O wanted but did not find since the stream's data began to flow: a recording's data
    // that came too late for its cycle, or playback data the server asked for before a cycle placed it.
    std::uint64_t missedFrames() const { return missedFrames_.load(std::memory_order_relaxed); }

    // Frames per I/O cycle at a rate: about 4 ms.
    static UInt32 cycleFrames(std::uint32_t rate);

private:
    bool isInput() const { return info_.kind == PulseDeviceInfo::Kind::source; }
    UInt32 safetyOffset() const;
    UInt32 latencyFrames() const;
    void closeStreamLocked();
    void anchor(std::uint64_t hostTime, std::int64_t comingFrames);
    void countMissed(std::uint32_t held, std::uint32_t wanted);
    static void streamRead(pa_stream* stream, std::size_t bytes, void* userdata);
    static void streamWrite(pa_stream* stream, std::size_t bytes, void* userdata);
    static void streamState(pa_stream* stream, void* userdata);

    const std::string uid_;
    PulseMainLoop& loop_;
    mutable std::mutex mutex_;
    PulseDeviceInfo info_;
    bool alive_ = true;

    // Set up by startIO, used by the loop's thread and the I/O cycle until stopIO.
    pa_stream* stream_ = nullptr;
    std::unique_ptr<SampleTimeBuffer> buffer_;
    std::unique_ptr<AudioClockEstimator> clock_;
    std::int64_t streamFrames_ = 0;  // frames the stream has passed, on the loop's thread
    std::int64_t frameOffset_ = 0;   // device sample time of the stream's frame 0
    bool anchored_ = false;
    double jumpFrames_ = 12000;    // a deviation beyond this is a jump of the stream
    UInt32 negotiatedSafety_ = 0;  // from the buffer the server granted; 0 while no stream runs
    UInt32 grantedLatency_ = 0;
    std::atomic<bool> running_{false};
    std::atomic<bool> flowing_{false};
    std::atomic<std::uint64_t> missedFrames_{0};
};

}  // namespace velunto
