#include "app/audio/CaptureEngine.h"

#include <chrono>

#include "app/audio/CaptureEngineError.h"
#include "app/devices/AudioProperties.h"
#include "platform/avaudio/AVAudioSinkNode.h"
#include "platform/avaudio/AVAudioUnitEffect.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& log() {
    static const Logger logger("app.velunto", "CaptureEngine");
    return logger;
}

const AVAudioFormat& processingFormat() {
    static const AVAudioFormat format(CaptureEngine::kProcessingSampleRate, 1);
    return format;
}

std::string deviceText(std::optional<AudioObjectID> device) {
    return device ? std::to_string(*device) : "?";
}

}  // namespace

CaptureEngine::CaptureEngine(RingBuffer* ringBuffer, RingBuffer* analysisRingBuffer, RingBuffer* monitorRingBuffer,
                             std::shared_ptr<AVAudioNode> eqNode)
    : ringBuffer_(ringBuffer),
      analysisRingBuffer_(analysisRingBuffer),
      monitorRingBuffer_(monitorRingBuffer),
      eqNode_(std::move(eqNode)),
      renderFrameCount_(new std::atomic<std::uint32_t>(0)) {}

CaptureEngine::~CaptureEngine() {
    if (scheduledRebuild_)
        scheduledRebuild_->cancel();
    if (scheduledRetry_)
        scheduledRetry_->cancel();
    teardown();
    delete renderFrameCount_;
}

void CaptureEngine::schedule(double seconds, std::shared_ptr<DispatchWorkItem>& slot) {
    if (slot)
        slot->cancel();
    slot = DispatchWorkItem::make([weak = weak_from_this()] {
        if (auto engine = weak.lock())
            engine->rebuild();
    });
    DispatchQueue::main().asyncAfter(
        DispatchTime::now() + std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9)), slot);
}

void CaptureEngine::start(const std::optional<std::string>& deviceUID) {
    pendingDeviceUID_ = deviceUID;
    rebuildAttempt_ = 0;
    if (scheduledRetry_)
        scheduledRetry_->cancel();  // a newer start replaces a pending retry
    schedule(0.15, scheduledRebuild_);
}

void CaptureEngine::stop() {
    if (scheduledRebuild_)
        scheduledRebuild_->cancel();
    scheduledRebuild_.reset();
    if (scheduledRetry_)
        scheduledRetry_->cancel();  // a stopped engine does not start again by itself
    scheduledRetry_.reset();
    teardown();
    setStatus(EngineStatus::stopped());
}

void CaptureEngine::setPluginUnit(std::shared_ptr<AVAudioUnit> unit) {
    teardown();
    pluginUnit_ = std::move(unit);
    // A stopped engine (the user paused) takes the unit at its next start; it does not open the microphone.
    if (status_ != EngineStatus::stopped())
        start(pendingDeviceUID_);
}

void CaptureEngine::setBypassed(bool bypassed) {
    isBypassed_ = bypassed;
    if (auto effect = std::dynamic_pointer_cast<AVAudioUnitEffect>(pluginUnit_))
        effect->setBypass(bypassed);
}

void CaptureEngine::setStatus(EngineStatus status) {
    status_ = std::move(status);
    if (onStatusChange)
        onStatusChange(status_);
}

void CaptureEngine::rebuild() {
    if (!pendingDeviceUID_) {
        stop();
        return;
    }
    const std::string uid = *pendingDeviceUID_;
    log().notice("Baue Eingang auf: %{public}s, Versuch %ld", uid, rebuildAttempt_ + 1);
    setStatus(EngineStatus::starting());
    teardown();

    const auto deviceID = AudioProperties::deviceForUID(uid);
    if (!deviceID)
        return handleRebuildFailure("Eingangsgerät " + uid + " nicht gefunden.");

    auto engine = std::make_shared<AVAudioEngine>();
    engine_ = engine;
    AudioUnit inputUnit = nullptr;
    try {
        inputUnit = buildGraph(*engine, *deviceID);
    } catch (const CaptureEngineError& error) {
        teardown();
        return handleRebuildFailure(error.localizedDescription());
    }
    observeConfigurationChange(engine, inputUnit, *deviceID);

    NSError error;
    if (!engine->start(&error)) {
        teardown();
        return handleRebuildFailure(error.localizedDescription);
    }
    const auto actual = AudioProperties::currentDevice(inputUnit, "input");
    if (actual != deviceID) {
        teardown();
        return handleRebuildFailure("Eingang läuft auf Gerät " + deviceText(actual) + " statt " +
                                    std::to_string(*deviceID) + ".");
    }
    setStatus(EngineStatus::running());
    rebuildAttempt_ = 0;
}

void CaptureEngine::handleRebuildFailure(const std::string& message) {
    log().error("CaptureEngine-Aufbau fehlgeschlagen: %{public}s", message);
    rebuildAttempt_ += 1;
    if (rebuildAttempt_ > 2) {
        setStatus(EngineStatus::error(message));
        return;
    }
    schedule(1.0, scheduledRetry_);
}

AudioUnit CaptureEngine::buildGraph(AVAudioEngine& engine, AudioObjectID deviceID) {
    auto input = engine.inputNode();
    AudioUnit unit = input->audioUnit();
    if (!unit)
        throw CaptureEngineError(CaptureEngineError::Kind::inputUnitUnavailable);
    if (!checkStatus(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                                          &deviceID, sizeof deviceID),
                     "AudioUnitSetProperty(kAudioOutputUnitProperty_CurrentDevice) [" + std::string("input") + "]"))
        throw CaptureEngineError(CaptureEngineError::Kind::deviceNotSettable);

    formatMixer_ = std::make_shared<AVAudioMixerNode>();
    auto sink = std::make_shared<AVAudioSinkNode>(
        [count = renderFrameCount_, main = ringBuffer_, analysis = analysisRingBuffer_, monitor = monitorRingBuffer_](
            const AudioTimeStamp&, UInt32 frames, const AudioBufferList* list) -> OSStatus {
            // Real-time: one store and three ring writes.
            count->store(frames, std::memory_order_relaxed);
            if (!list || list->mNumberBuffers == 0 || !list->mBuffers[0].mData)
                return 0;
            const auto* samples = static_cast<const float*>(list->mBuffers[0].mData);
            RingBufferWrite(main, samples, frames);
            RingBufferWrite(analysis, samples, frames);
            RingBufferWrite(monitor, samples, frames);
            return 0;
        });

    engine.attach(formatMixer_);
    engine.attach(eqNode_);
    engine.attach(sink);
    engine.connect(input, formatMixer_, input->inputFormat(0));
    if (pluginUnit_) {
        engine.attach(pluginUnit_);
        engine.connect(formatMixer_, pluginUnit_, processingFormat());
        engine.connect(pluginUnit_, eqNode_, processingFormat());
        if (auto effect = std::dynamic_pointer_cast<AVAudioUnitEffect>(pluginUnit_))
            effect->setBypass(isBypassed_);
    } else {
        engine.connect(formatMixer_, eqNode_, processingFormat());
    }
    engine.connect(eqNode_, sink, processingFormat());
    return unit;
}

void CaptureEngine::teardown() {
    if (configurationChangeObserver_) {
        NotificationCenter::defaultCenter().removeObserver(configurationChangeObserver_);
        configurationChangeObserver_.reset();
    }
    finishPendingRecording(false);
    formatMixer_.reset();
    if (engine_) {
        engine_->stop();
        if (pluginUnit_ && engine_->isAttached(pluginUnit_.get()))
            engine_->detach(pluginUnit_);
        if (eqNode_ && engine_->isAttached(eqNode_.get()))
            engine_->detach(eqNode_);
        engine_.reset();
    }
}

void CaptureEngine::observeConfigurationChange(const std::shared_ptr<AVAudioEngine>& engine, AudioUnit inputUnit,
                                               AudioObjectID deviceID) {
    configurationChangeObserver_ = NotificationCenter::defaultCenter().addObserver(
        AVAudioEngine::kConfigurationChangeNotification, engine.get(), DispatchQueue::main(),
        [weakSelf = weak_from_this(), weakEngine = std::weak_ptr<AVAudioEngine>(engine), inputUnit,
         deviceID](const Notification&) {
            auto self = weakSelf.lock();
            auto audioEngine = weakEngine.lock();
            if (!self || !audioEngine)
                return;
            if (audioEngine->isRunning() &&
                AudioProperties::currentDevice(inputUnit, "input") == std::optional<AudioObjectID>(deviceID))
                return;
            log().notice("AVAudioEngineConfigurationChange (Eingang) empfangen, baue Graph neu auf.");
            self->start(self->pendingDeviceUID_);
        });
}

void CaptureEngine::recordPreProcessing(double seconds, std::weak_ptr<PreProcessingRecordingRequester> requester,
                                        PreProcessingRecording::Completion completion) {
    finishPendingRecording(false);
    if (status_.kind() != EngineStatus::Kind::running || !formatMixer_) {
        if (auto r = requester.lock())
            r->recordingRefused(PreProcessingRecordingRequester::kRecordingAbandonedMessage);
        return;
    }
    const auto frameCount = static_cast<std::int64_t>(seconds * kProcessingSampleRate);
    auto recording = std::make_shared<PreProcessingRecording>(frameCount, std::move(completion));
    pendingRecording_ = recording;
    formatMixer_->installTap(0, 4096, std::nullopt,
                             [weakRecording = std::weak_ptr<PreProcessingRecording>(recording),
                              weakSelf = weak_from_this()](AVAudioPCMBuffer& buffer, const AudioTimeStamp&) {
                                 auto target = weakRecording.lock();
                                 if (!target || !buffer.floatChannelData())
                                     return;
                                 if (!target->append(buffer.floatChannelData()[0], buffer.frameLength()))
                                     return;
                                 DispatchQueue::main().async([weakSelf, weakRecording] {
                                     auto self = weakSelf.lock();
                                     if (self && self->pendingRecording_ == weakRecording.lock())
                                         self->finishPendingRecording(true);
                                 });
                             });
}

void CaptureEngine::finishPendingRecording(bool deliver) {
    if (!pendingRecording_)
        return;
    auto recording = std::move(pendingRecording_);
    pendingRecording_.reset();
    if (formatMixer_)
        formatMixer_->removeTap(0);
    auto samples = recording->take(deliver);
    if (recording->completion())
        recording->completion()(std::move(samples));
}

}  // namespace velunto
