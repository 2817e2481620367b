#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/avaudio/AVAudioInputNode.h"
#include "platform/avaudio/AVAudioMixerNode.h"
#include "platform/avaudio/AVAudioNode.h"
#include "platform/avaudio/AVAudioOutputNode.h"
#include "platform/coreaudio/AudioHardware.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

enum class AVAudioEngineManualRenderingMode { offline, realtime };
enum class AVAudioEngineManualRenderingStatus {
    error = -1,
    success = 0,
    insufficientDataFromInputNode = 1,
    cannotDoInCurrentContext = 2
};

// An audio engine: nodes attached to it and connected into a chain, run either on the input
// device's I/O cycle (the input node at the head) or, in manual rendering mode, by renderOffline (a
// source node at the head, the output node at the end). A chain is followed from its head through
// each node's one outgoing connection; changes to the graph take effect at the next start.
//
// When the input device dies or changes its rate or layout, a running engine stops and posts
// "AVAudioEngineConfigurationChangeNotification" (object: the engine) to the default notification
// centre.
class AVAudioEngine {
public:
    static constexpr const char* kConfigurationChangeNotification = "AVAudioEngineConfigurationChangeNotification";

    AVAudioEngine();
    ~AVAudioEngine();
    AVAudioEngine(const AVAudioEngine&) = delete;
    AVAudioEngine& operator=(const AVAudioEngine&) = delete;

    void attach(const std::shared_ptr<AVAudioNode>& node);
    // Also removes the node's connections.
    void detach(const std::shared_ptr<AVAudioNode>& node);
    std::vector<std::shared_ptr<AVAudioNode>> attachedNodes() const;
    bool isAttached(const AVAudioNode* node) const;

    // Bus 0 to bus 0; no format: the source's output format.
    void connect(const std::shared_ptr<AVAudioNode>& from, const std::shared_ptr<AVAudioNode>& to,
                 std::optional<AVAudioFormat> format);
    void disconnectNodeOutput(const std::shared_ptr<AVAudioNode>& node);

    // Made and attached on first use.
    std::shared_ptr<AVAudioInputNode> inputNode();
    std::shared_ptr<AVAudioOutputNode> outputNode();
    // Made on first use and connected to the output node.
    std::shared_ptr<AVAudioMixerNode> mainMixerNode();

    bool start(NSError* error = nullptr);
    void stop();
    bool isRunning() const;

    bool enableManualRenderingMode(AVAudioEngineManualRenderingMode mode, const AVAudioFormat& format,
                                   UInt32 maximumFrameCount, NSError* error = nullptr);
    bool isInManualRenderingMode() const { return manual_.has_value(); }
    AVAudioFormat manualRenderingFormat() const { return manual_ ? manual_->format : AVAudioFormat(); }
    UInt32 manualRenderingMaximumFrameCount() const { return manual_ ? manual_->maximumFrameCount : 0; }
    // Renders `frames` frames into `buffer` (in the manual rendering format).
    AVAudioEngineManualRenderingStatus renderOffline(UInt32 frames, AVAudioPCMBuffer& buffer, NSError* error = nullptr);

private:
    struct Stage {
        std::shared_ptr<AVAudioNode> node;
        std::unique_ptr<AVAudioPCMBuffer> output;
    };
    struct Connection {
        std::shared_ptr<AVAudioNode> to;
        std::optional<AVAudioFormat> format;
    };
    struct Manual {
        AVAudioFormat format;
        UInt32 maximumFrameCount;
    };
    struct Watch;

    bool buildPlan(const std::shared_ptr<AVAudioNode>& head, UInt32 maxFrames, NSError* error);
    void releasePlanLocked();
    // Real-time.
    UInt32 runPlan(const AudioTimeStamp& time, UInt32 frames);
    void installDeviceWatch(AudioObjectID device);
    void removeDeviceWatch();
    void configurationChanged();

    mutable std::recursive_mutex mutex_;
    std::vector<std::shared_ptr<AVAudioNode>> nodes_;
    std::map<const AVAudioNode*, Connection> connections_;
    std::shared_ptr<AVAudioInputNode> inputNode_;
    std::shared_ptr<AVAudioOutputNode> outputNode_;
    std::shared_ptr<AVAudioMixerNode> mainMixer_;
    std::vector<Stage> plan_;
    bool running_ = false;
    double renderSampleTime_ = 0;
    std::optional<Manual> manual_;
    std::shared_ptr<Watch> watch_;
    DispatchQueue watchQueue_;
};

}  // namespace velunto
