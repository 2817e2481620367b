#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/audio/EngineStatus.h"
#include "app/audio/PreProcessingRecording.h"
#include "app/audio/RingBuffer.h"
#include "platform/avaudio/AVAudioEngine.h"
#include "platform/avaudio/AVAudioUnit.h"
#include "platform/dispatch/DispatchWorkItem.h"
#include "platform/foundation/NotificationCenter.h"

namespace velunto {

// The input side of the pipeline: on the chosen input device it runs an audio engine graph that
// converts to 48000 Hz mono, runs the effect plug-in and the equaliser, and writes every block into
// the three rings. Builds are debounced, retried, and redone when the engine's configuration changes.
//
// Make it with std::make_shared; everything but the input callback and the recording tap runs on the
// main thread.
class CaptureEngine : public PreProcessingRecorder, public std::enable_shared_from_this<CaptureEngine> {
public:
    // The rings stay owned by the caller; the equaliser node is shared and reused across builds.
    CaptureEngine(RingBuffer* ringBuffer, RingBuffer* analysisRingBuffer, RingBuffer* monitorRingBuffer,
                  std::shared_ptr<AVAudioNode> eqNode);
    ~CaptureEngine() override;
    CaptureEngine(const CaptureEngine&) = delete;
    CaptureEngine& operator=(const CaptureEngine&) = delete;

    // Builds on that device 0.15 s from now; calls within that time lead to one build, on the last UID.
    void start(const std::optional<std::string>& deviceUID);
    void stop();
    // Tears the graph down, keeps the unit (or none) and builds again on the same device.
    void setPluginUnit(std::shared_ptr<AVAudioUnit> unit);
    // The plug-in's bypass flag, applied now and at every build.
    void setBypassed(bool bypassed);
    // Records `seconds` of the input before the plug-in; refused (through the requester) unless running.
    void recordPreProcessing(double seconds, std::weak_ptr<PreProcessingRecordingRequester> requester,
                             PreProcessingRecording::Completion completion) override;

    const EngineStatus& status() const { return status_; }
    std::function<void(const EngineStatus&)> onStatusChange;
    // Frames of the most recent block; written on the audio thread.
    std::uint32_t renderFrameCount() const override { return renderFrameCount_->load(std::memory_order_relaxed); }
    const std::optional<std::string>& pendingDeviceUID() const { return pendingDeviceUID_; }
    const std::shared_ptr<AVAudioEngine>& engine() const { return engine_; }
    const std::shared_ptr<AVAudioUnit>& pluginUnit() const { return pluginUnit_; }

    static constexpr double kProcessingSampleRate = 48000.0;

private:
    void rebuild();
    void handleRebuildFailure(const std::string& message);
    AudioUnit buildGraph(AVAudioEngine& engine, AudioObjectID deviceID);
    void teardown();
    void observeConfigurationChange(const std::shared_ptr<AVAudioEngine>& engine, AudioUnit inputUnit,
                                    AudioObjectID deviceID);
    void finishPendingRecording(bool deliver);
    void setStatus(EngineStatus status);
    void schedule(double seconds, std::shared_ptr<DispatchWorkItem>& slot);

    std::shared_ptr<AVAudioEngine> engine_;
    RingBuffer* const ringBuffer_;
    RingBuffer* const analysisRingBuffer_;
    RingBuffer* const monitorRingBuffer_;
    const std::shared_ptr<AVAudioNode> eqNode_;
    EngineStatus status_;
    std::shared_ptr<AVAudioUnit> pluginUnit_;
    bool isBypassed_ = false;
    long rebuildAttempt_ = 0;
    std::shared_ptr<DispatchWorkItem> scheduledRebuild_;
    std::shared_ptr<DispatchWorkItem> scheduledRetry_;
    std::shared_ptr<AVAudioMixerNode> formatMixer_;
    std::atomic<std::uint32_t>* renderFrameCount_;
    std::shared_ptr<PreProcessingRecording> pendingRecording_;
    std::optional<std::string> pendingDeviceUID_;
    NotificationCenter::Token configurationChangeObserver_;
};

}  // namespace velunto
