#include "app/audio/OutputEngine.h"

#include <algorithm>

#include "app/devices/AudioProperties.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& log() {
    static const Logger logger("app.velunto", "OutputEngine");
    return logger;
}

constexpr const char* kDisposeLabel = "AudioComponentInstanceDispose [output]";

// The format the render callback delivers: 48 kHz, two non-interleaved 32-bit float channels.
constexpr AudioStreamBasicDescription kClientFormat{
    48000.0,
    kAudioFormatLinearPCM,
    kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved,
    4,
    1,
    4,
    2,
    32,
    0};

constexpr AudioObjectPropertySelector kWatchedSelectors[] = {kAudioDevicePropertyDeviceIsAlive,
                                                             kAudioDevicePropertyNominalSampleRate};

AudioObjectPropertyAddress watchedAddress(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

std::string listenerLabel(const char* call, AudioObjectPropertySelector selector, AudioObjectID device) {
    return std::string(call) + "(" + std::to_string(selector) + ") [output] for " + std::to_string(device);
}

}  // namespace

OutputEngine::OutputEngine(RingBuffer* ring)
    : scratchBuffer_(new float[kScratchCapacity]()),
      renderContext_(
          new OutputRenderContext{ring, scratchBuffer_.get(), kScratchCapacity, kTargetFillFrames, kToleranceFrames}),
      propertyQueue_("app.velunto.outputengine.properties") {}

OutputEngine::~OutputEngine() {
    removeDeviceListeners();
    if (outputUnit_) {
        AudioUnit unit = *outputUnit_;
        outputUnit_.reset();
        tearDown(unit);
    }
}

void OutputEngine::start(const std::string& deviceUID) {
    currentDeviceUID_ = deviceUID;
    setStatus(EngineStatus::starting());
    removeDeviceListeners();
    if (outputUnit_) {
        AudioUnit old = *outputUnit_;
        outputUnit_.reset();
        tearDown(old);
    }

    const auto deviceID = AudioProperties::deviceForUID(deviceUID);
    if (!deviceID)
        return failStart("Ausgabegerät " + deviceUID + " nicht gefunden.");
    const auto unit = makeOutputUnit(*deviceID);
    if (!unit)
        return failStart("Ausgabe auf Gerät " + deviceUID + " konnte nicht eingerichtet werden.");

    outputUnit_ = unit;
    installDeviceListeners(*deviceID);
    trimToTarget();

    if (!checkStatus(AudioOutputUnitStart(*unit), "AudioOutputUnitStart [output]")) {
        removeDeviceListeners();
        outputUnit_.reset();
        tearDown(*unit);
        return failStart("Ausgabe konnte nicht gestartet werden.");
    }
    setStatus(EngineStatus::running());
}

void OutputEngine::stop() {
    removeDeviceListeners();
    if (outputUnit_) {
        AudioUnit unit = *outputUnit_;
        outputUnit_.reset();
        tearDown(unit);
    }
    setStatus(EngineStatus::stopped());
}

void OutputEngine::trimToTarget() {
    OutputRenderContext& context = *renderContext_;
    for (;;) {
        const auto fill = static_cast<std::int64_t>(RingBufferAvailableToRead(context.ringBuffer));
        if (fill <= context.targetFillFrames)
            break;
        const std::int64_t surplus = std::min(context.scratchCapacity, fill - context.targetFillFrames);
        RingBufferRead(context.ringBuffer, context.scratch, static_cast<std::uint64_t>(surplus));
    }
}

void OutputEngine::tearDown(AudioUnit unit) {
    checkStatus(AudioOutputUnitStop(unit), "AudioOutputUnitStop [output]");
    checkStatus(AudioUnitUninitialize(unit), "AudioUnitUninitialize [output]");
    checkStatus(AudioComponentInstanceDispose(unit), kDisposeLabel);
}

void OutputEngine::failStart(const std::string& message) {
    log().error("OutputEngine-Start fehlgeschlagen: %{public}s", message);
    setStatus(EngineStatus::error(message));
}

void OutputEngine::setStatus(EngineStatus status) {
    status_ = std::move(status);
    if (onStatusChange)
        onStatusChange(status_);
}

std::optional<AudioUnit> OutputEngine::makeOutputUnit(AudioObjectID deviceID) {
    const AudioComponentDescription description{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                                kAudioUnitManufacturer_Apple, 0, 0};
    AudioComponent component = AudioComponentFindNext(nullptr, &description);
    if (!component) {
        log().error("AudioComponentFindNext(HALOutput) fand keine Komponente.");
        return std::nullopt;
    }
    AudioUnit unit = nullptr;
    if (!checkStatus(AudioComponentInstanceNew(component, &unit), "AudioComponentInstanceNew(HALOutput)") || !unit)
        return std::nullopt;

    const UInt32 disableInput = 0;
    const AURenderCallbackStruct callback{outputRenderCallback, renderContext_.get()};
    const bool configured =
        checkStatus(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1,
                                         &disableInput, sizeof disableInput),
                    "AudioUnitSetProperty(kAudioOutputUnitProperty_EnableIO) [output]") &&
        checkStatus(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                                         &deviceID, sizeof deviceID),
                    "AudioUnitSetProperty(kAudioOutputUnitProperty_CurrentDevice) [" + std::string("output") + "]") &&
        checkStatus(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0,
                                         &kClientFormat, sizeof kClientFormat),
                    "AudioUnitSetProperty(kAudioUnitProperty_StreamFormat) [output]") &&
        checkStatus(AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0,
                                         &callback, sizeof callback),
                    "AudioUnitSetProperty(kAudioUnitProperty_SetRenderCallback) [output]") &&
        checkStatus(AudioUnitInitialize(unit), "AudioUnitInitialize [output]") &&
        AudioProperties::currentDevice(unit, "output") == std::optional<AudioObjectID>(deviceID);
    if (configured)
        return unit;
    checkStatus(AudioComponentInstanceDispose(unit), kDisposeLabel);
    return std::nullopt;
}

void OutputEngine::installDeviceListeners(AudioObjectID deviceID) {
    auto block =
        makeAudioObjectPropertyListenerBlock([weak = weak_from_this()](UInt32, const AudioObjectPropertyAddress*) {
            DispatchQueue::main().async([weak] {
                if (auto engine = weak.lock())
                    engine->handleDeviceChange();
            });
        });
    for (AudioObjectPropertySelector selector : kWatchedSelectors) {
        const auto address = watchedAddress(selector);
        checkStatus(AudioObjectAddPropertyListenerBlock(deviceID, &address, propertyQueue_, block),
                    listenerLabel("AudioObjectAddPropertyListenerBlock", selector, deviceID));
    }
    listenedDeviceID_ = deviceID;
    deviceListenerBlock_ = std::move(block);
}

void OutputEngine::removeDeviceListeners() {
    if (!listenedDeviceID_ || !deviceListenerBlock_)
        return;
    for (AudioObjectPropertySelector selector : kWatchedSelectors) {
        const auto address = watchedAddress(selector);
        checkStatus(
            AudioObjectRemovePropertyListenerBlock(*listenedDeviceID_, &address, propertyQueue_, deviceListenerBlock_),
            listenerLabel("AudioObjectRemovePropertyListenerBlock", selector, *listenedDeviceID_));
    }
    listenedDeviceID_.reset();
    deviceListenerBlock_.reset();
}

void OutputEngine::handleDeviceChange() {
    if (!currentDeviceUID_ || !outputUnit_)
        return;
    log().notice("Ausgabegerät geändert oder entfernt, starte Ausgabe neu.");
    start(*currentDeviceUID_);
}

}  // namespace velunto
