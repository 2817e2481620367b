#include "platform/avaudio/AVAudioEngine.h"

#include <algorithm>
#include <cstring>

#include "platform/avaudio/AVAudioSourceNode.h"
#include "platform/avaudio/HALInputUnit.h"
#include "platform/foundation/NotificationCenter.h"

namespace velunto {

namespace {

const char* const kErrorDomain = "com.apple.coreaudio.avfaudio";

constexpr AudioObjectPropertySelector kWatchedSelectors[] = {
    kAudioDevicePropertyDeviceIsAlive, kAudioDevicePropertyNominalSampleRate, kAudioDevicePropertyStreamConfiguration};

void fail(NSError* error, long code) {
    if (error)
        *error = NSError::withCode(kErrorDomain, code);
}

UInt32 bufferFrameSize(AudioObjectID device) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyBufferFrameSize, kAudioObjectPropertyScopeInput,
                                             kAudioObjectPropertyElementMain};
    UInt32 frames = 0;
    UInt32 size = sizeof frames;
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &frames) != 0 || frames == 0)
        return 4096;
    return frames;
}

}  // namespace

// The device listeners' link back to the engine, cut when the engine goes.
struct AVAudioEngine::Watch {
    std::mutex mutex;
    AVAudioEngine* engine = nullptr;
    AudioObjectID device = kAudioObjectUnknown;
    AudioObjectPropertyListenerBlock block;
};

AVAudioEngine::AVAudioEngine() : watchQueue_("velunto.avaudio.engine.device") {}

AVAudioEngine::~AVAudioEngine() {
    stop();
    removeDeviceWatch();
}

void AVAudioEngine::attach(const std::shared_ptr<AVAudioNode>& node) {
    std::lock_guard lock(mutex_);
    if (!node || isAttached(node.get()))
        return;
    node->engine_ = this;
    nodes_.push_back(node);
}

void AVAudioEngine::detach(const std::shared_ptr<AVAudioNode>& node) {
    std::lock_guard lock(mutex_);
    if (!node || !isAttached(node.get()))
        return;
    connections_.erase(node.get());
    for (auto it = connections_.begin(); it != connections_.end();)
        it = it->second.to == node ? connections_.erase(it) : std::next(it);
    node->engine_ = nullptr;
    std::erase(nodes_, node);
}

std::vector<std::shared_ptr<AVAudioNode>> AVAudioEngine::attachedNodes() const {
    std::lock_guard lock(mutex_);
    return nodes_;
}

bool AVAudioEngine::isAttached(const AVAudioNode* node) const {
    std::lock_guard lock(mutex_);
    return std::any_of(nodes_.begin(), nodes_.end(), [&](const auto& n) { return n.get() == node; });
}

void AVAudioEngine::connect(const std::shared_ptr<AVAudioNode>& from, const std::shared_ptr<AVAudioNode>& to,
                            std::optional<AVAudioFormat> format) {
    std::lock_guard lock(mutex_);
    attach(from);
    attach(to);
    for (auto it = connections_.begin(); it != connections_.end();)
        it = it->second.to == to ? connections_.erase(it) : std::next(it);
    if (format) {  // the buses take the connection's format now, so that a tap can be installed before start
        from->outputFormat_ = *format;
        to->inputFormat_ = *format;
    }
    connections_[from.get()] = Connection{to, std::move(format)};
}

void AVAudioEngine::disconnectNodeOutput(const std::shared_ptr<AVAudioNode>& node) {
    std::lock_guard lock(mutex_);
    connections_.erase(node.get());
}

std::shared_ptr<AVAudioInputNode> AVAudioEngine::inputNode() {
    std::lock_guard lock(mutex_);
    if (!inputNode_) {
        inputNode_ = std::make_shared<AVAudioInputNode>();
        attach(inputNode_);
    }
    return inputNode_;
}

std::shared_ptr<AVAudioOutputNode> AVAudioEngine::outputNode() {
    std::lock_guard lock(mutex_);
    if (!outputNode_) {
        outputNode_ = std::make_shared<AVAudioOutputNode>();
        attach(outputNode_);
    }
    return outputNode_;
}

std::shared_ptr<AVAudioMixerNode> AVAudioEngine::mainMixerNode() {
    std::lock_guard lock(mutex_);
    if (!mainMixer_) {
        mainMixer_ = std::make_shared<AVAudioMixerNode>();
        connect(mainMixer_, outputNode(), manual_ ? std::optional<AVAudioFormat>(manual_->format) : std::nullopt);
    }
    return mainMixer_;
}

bool AVAudioEngine::enableManualRenderingMode(AVAudioEngineManualRenderingMode mode, const AVAudioFormat& format,
                                              UInt32 maximumFrameCount, NSError* error) {
    std::lock_guard lock(mutex_);
    if (running_ || mode != AVAudioEngineManualRenderingMode::offline || !format.isValid() || maximumFrameCount == 0) {
        fail(error, kAudioUnitErr_InvalidOfflineRender);
        return false;
    }
    manual_ = Manual{format, maximumFrameCount};
    if (mainMixer_)
        connections_[mainMixer_.get()].format = format;
    return true;
}

bool AVAudioEngine::buildPlan(const std::shared_ptr<AVAudioNode>& head, UInt32 maxFrames, NSError* error) {
    std::optional<AVAudioFormat> input;
    AVAudioFormat output = head->outputFormat(0);
    std::shared_ptr<AVAudioNode> node = head;
    UInt32 frames = maxFrames;
    while (node && plan_.size() <= nodes_.size()) {
        auto next = connections_.find(node.get());
        if (next != connections_.end())
            output = next->second.format.value_or(node == head ? output : *input);
        else if (input)
            output = *input;
        UInt32 outFrames = frames;
        if (!output.isValid() || !node->prepare(input, output, frames, outFrames, error)) {
            if (!output.isValid())
                fail(error, kAudioUnitErr_FormatNotSupported);
            releasePlanLocked();
            return false;
        }
        plan_.push_back(Stage{node, std::make_unique<AVAudioPCMBuffer>(output, std::max<UInt32>(outFrames, 1))});
        frames = outFrames;
        input = output;
        node = next == connections_.end() ? nullptr : next->second.to;
    }
    return true;
}

void AVAudioEngine::releasePlanLocked() {
    for (auto& stage : plan_)
        stage.node->unprepare();
    plan_.clear();
}

bool AVAudioEngine::start(NSError* error) {
    removeDeviceWatch();  // before the lock: a listener may be waiting for it
    std::lock_guard lock(mutex_);
    if (running_)
        return true;
    renderSampleTime_ = 0;
    if (manual_) {
        std::shared_ptr<AVAudioNode> head;
        for (const auto& node : nodes_) {
            if (!dynamic_cast<AVAudioSourceNode*>(node.get()))
                continue;
            head = node;
            break;
        }
        if (!head) {
            fail(error, kAudioUnitErr_NoConnection);
            return false;
        }
        if (!buildPlan(head, manual_->maximumFrameCount, error))
            return false;
        running_ = true;
        return true;
    }

    auto input = inputNode();
    HALInputUnit& hal = input->halUnit();
    const AudioObjectID device = hal.currentDevice();
    if (!buildPlan(input, bufferFrameSize(device), error))
        return false;
    hal.setInputHandler(
        [this, input = input.get()](const AudioTimeStamp& time, const AudioBufferList& list, UInt32 frames) {
            input->setPendingInput(&list, frames);
            runPlan(time, frames);
            input->setPendingInput(nullptr, 0);
        });
    OSStatus status = hal.initialize();
    if (status == 0)
        status = hal.start();
    if (status != 0) {
        hal.uninitialize();
        releasePlanLocked();
        fail(error, status);
        return false;
    }
    installDeviceWatch(device);
    running_ = true;
    return true;
}

void AVAudioEngine::stop() {
    {
        std::lock_guard lock(mutex_);
        if (!running_)
            return;
        running_ = false;
        if (!manual_ && inputNode_) {
            inputNode_->halUnit().stop();
            inputNode_->halUnit().uninitialize();
        }
        releasePlanLocked();
    }
    removeDeviceWatch();
}

bool AVAudioEngine::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

// Real-time.
UInt32 AVAudioEngine::runPlan(const AudioTimeStamp& time, UInt32 frames) {
    AudioTimeStamp stamp = time;
    stamp.mSampleTime = renderSampleTime_;
    AVAudioPCMBuffer* previous = nullptr;
    for (auto& stage : plan_) {
        const UInt32 made = stage.node->render(stamp, previous, frames, *stage.output);
        if (!previous || made > 0)
            stage.output->setFrameLength(made);
        if (made > 0)
            stage.node->feedTap(*stage.output, stamp);
        if (made == 0 && previous)
            return 0;  // the stage has consumed the block (a sink) or holds it back
        previous = stage.output.get();
        frames = made;
    }
    renderSampleTime_ += frames;
    return frames;
}

AVAudioEngineManualRenderingStatus AVAudioEngine::renderOffline(UInt32 frames, AVAudioPCMBuffer& buffer,
                                                                NSError* error) {
    std::lock_guard lock(mutex_);
    if (!manual_ || !running_ || frames > manual_->maximumFrameCount || frames > buffer.frameCapacity()) {
        fail(error, kAudioUnitErr_CannotDoInCurrentContext);
        return AVAudioEngineManualRenderingStatus::cannotDoInCurrentContext;
    }
    AudioTimeStamp time{};
    time.mFlags = kAudioTimeStampSampleTimeValid;
    const UInt32 made = runPlan(time, frames);
    const AVAudioPCMBuffer* last = plan_.empty() ? nullptr : plan_.back().output.get();
    if (outputNode_ && !plan_.empty() && plan_.back().node == outputNode_ && outputNode_->last_)
        last = outputNode_->last_;
    if (!last || made < frames) {
        fail(error, kAudioUnitErr_NoConnection);
        return AVAudioEngineManualRenderingStatus::error;
    }
    float* const* out = buffer.floatChannelData();
    const AudioBufferList* from = last->audioBufferList();
    for (UInt32 c = 0; c < buffer.format().channelCount() && c < from->mNumberBuffers; ++c)
        std::memcpy(out[c], from->mBuffers[c].mData, frames * sizeof(float));
    buffer.setFrameLength(frames);
    return AVAudioEngineManualRenderingStatus::success;
}

void AVAudioEngine::installDeviceWatch(AudioObjectID device) {
    auto watch = std::make_shared<Watch>();
    watch->engine = this;
    watch->device = device;
    watch->block = makeAudioObjectPropertyListenerBlock(
        [weak = std::weak_ptr<Watch>(watch)](UInt32, const AudioObjectPropertyAddress*) {
            auto w = weak.lock();
            if (!w)
                return;
            std::lock_guard lock(w->mutex);
            if (w->engine)
                w->engine->configurationChanged();
        });
    for (AudioObjectPropertySelector selector : kWatchedSelectors) {
        const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeWildcard,
                                                 kAudioObjectPropertyElementMain};
        AudioObjectAddPropertyListenerBlock(device, &address, watchQueue_, watch->block);
    }
    watch_ = watch;
}

// Never called with mutex_ held: a listener holds the watch's lock while it waits for mutex_.
void AVAudioEngine::removeDeviceWatch() {
    std::shared_ptr<Watch> watch;
    {
        std::lock_guard lock(mutex_);
        watch = std::move(watch_);
        watch_.reset();
    }
    if (!watch)
        return;
    {
        std::lock_guard lock(watch->mutex);
        watch->engine = nullptr;
    }
    for (AudioObjectPropertySelector selector : kWatchedSelectors) {
        const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeWildcard,
                                                 kAudioObjectPropertyElementMain};
        AudioObjectRemovePropertyListenerBlock(watch->device, &address, watchQueue_, watch->block);
    }
}

void AVAudioEngine::configurationChanged() {
    {
        std::lock_guard lock(mutex_);
        if (!running_)
            return;
        running_ = false;
        if (inputNode_) {
            inputNode_->halUnit().stop();
            inputNode_->halUnit().uninitialize();
        }
        releasePlanLocked();
    }
    NotificationCenter::defaultCenter().post(Notification{kConfigurationChangeNotification, this});
}

}  // namespace velunto
