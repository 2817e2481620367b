#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/audio/EngineStatus.h"
#include "app/audio/OutputRenderContext.h"
#include "app/audio/RingBuffer.h"
#include "platform/audiounit/AudioUnit.h"
#include "platform/coreaudio/AudioHardware.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

// Plays one sample ring on one output device through a hardware-output unit. The device pulls samples
// through the render callback; the callback keeps the ring's fill inside a band around a target so
// that the capture device's clock and the output device's clock may drift apart.
//
// Make it with std::make_shared (its device listeners hold it weakly). start, stop, trimToTarget and
// every status change happen on the main thread.
class OutputEngine : public std::enable_shared_from_this<OutputEngine> {
public:
    // The ring stays owned by the caller and must outlive the engine.
    explicit OutputEngine(RingBuffer* ring);
    ~OutputEngine();
    OutputEngine(const OutputEngine&) = delete;
    OutputEngine& operator=(const OutputEngine&) = delete;

    // (Re)starts playback on the device with that UID; the outcome shows only in status().
    void start(const std::string& deviceUID);
    // Stops playback and releases the unit; reports stopped even when already stopped.
    void stop();
    // Discards the oldest samples until the ring holds at most the target fill. Only while no unit runs.
    void trimToTarget();

    const EngineStatus& status() const { return status_; }
    std::function<void(const EngineStatus&)> onStatusChange;

    const std::optional<std::string>& currentDeviceUID() const { return currentDeviceUID_; }
    const std::optional<AudioObjectID>& listenedDeviceID() const { return listenedDeviceID_; }
    bool hasOutputUnit() const { return outputUnit_.has_value(); }
    const OutputRenderContext& renderContext() const { return *renderContext_; }

    static constexpr std::int64_t kScratchCapacity = 4096;
    static constexpr std::int64_t kTargetFillFrames = 960;
    static constexpr std::int64_t kToleranceFrames = 480;

private:
    std::optional<AudioUnit> makeOutputUnit(AudioObjectID deviceID);
    void tearDown(AudioUnit unit);
    void failStart(const std::string& message);
    void setStatus(EngineStatus status);
    void installDeviceListeners(AudioObjectID deviceID);
    void removeDeviceListeners();
    void handleDeviceChange();

    EngineStatus status_;
    std::unique_ptr<float[]> scratchBuffer_;
    std::unique_ptr<OutputRenderContext> renderContext_;
    std::optional<AudioUnit> outputUnit_;
    std::optional<std::string> currentDeviceUID_;
    std::optional<AudioObjectID> listenedDeviceID_;
    AudioObjectPropertyListenerBlock deviceListenerBlock_;
    DispatchQueue propertyQueue_;
};

}  // namespace velunto
