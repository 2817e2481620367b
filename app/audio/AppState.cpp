#include "app/audio/AppState.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "app/devices/AudioProperties.h"
#include "app/devices/LocalizedText.h"
#include "app/settings/SettingsKey.h"
#include "platform/foundation/FatalError.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& log() {
    static const Logger logger("app.velunto", "AppState");
    return logger;
}

// Latency, safety offset and buffer size of a device in one scope, in frames; an unreadable
// property counts as 0.
double deviceFrames(AudioObjectID device, AudioObjectPropertyScope scope) {
    double frames = 0;
    for (AudioObjectPropertySelector selector :
         {kAudioDevicePropertyLatency, kAudioDevicePropertySafetyOffset, kAudioDevicePropertyBufferFrameSize}) {
        const AudioObjectPropertyAddress address{selector, scope, kAudioObjectPropertyElementMain};
        UInt32 value = 0;
        UInt32 size = sizeof value;
        const std::string label = "AudioObjectGetPropertyData(" + std::to_string(selector) + ") scope " +
                                  std::to_string(scope) + " for " + std::to_string(device);
        if (checkStatus(AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &value), label))
            frames += value;
    }
    return frames;
}

RingBuffer* makeRing(std::uint64_t size, const char* failure) {
    RingBuffer* ring = RingBufferCreate(size);
    if (!ring)
        fatalError(failure);
    return ring;
}

}  // namespace

std::shared_ptr<AppState> AppState::make(std::shared_ptr<UserDefaults> defaults) {
    std::shared_ptr<AppState> state(new AppState(std::move(defaults)));
    state->construct();
    return state;
}

AppState::AppState(std::shared_ptr<UserDefaults> defaults)
    : spectrumAnalyzer_(SpectrumAnalyzer::make()),
      latencyMeter_(LatencyMeter::make()),
      cameraExtension_(CameraExtensionActivator::make()),
      hotKey_(std::make_unique<HotKey>()),
      settingsStore_(std::move(defaults)) {}

void AppState::construct() {
    deviceManager_ = DeviceManager::make(settingsStore_);
    pluginHost_ = PluginHost::make(settingsStore_);
    deviceEQ_ = DeviceEQ::make(settingsStore_);
    cameraEngine_ = CameraEngine::make(settingsStore_);

    const auto& defaults = *settingsStore_.defaults;
    videoOffsetMilliseconds.set(defaults.integer(rawValue(SettingsKey::videoOffsetMilliseconds)));
    pluginLatencyMeasurements.set(settingsStore_.loadPluginLatencyMeasurements());

    ringBuffer_ = makeRing(48000, "RingBuffer konnte nicht angelegt werden.");
    monitorRingBuffer_ = makeRing(48000, "Vorhör-Ringpuffer konnte nicht angelegt werden.");
    monitorEngine_ = std::make_shared<OutputEngine>(monitorRingBuffer_);

    monitorDeviceUID.set(defaults.string(rawValue(SettingsKey::monitorDeviceUID)));
    pauseShortcut.set(settingsStore_.loadPauseShortcut());

    captureEngine_ = std::make_shared<CaptureEngine>(ringBuffer_, spectrumAnalyzer_->ringBuffer(), monitorRingBuffer_,
                                                     deviceEQ_->node());
    outputEngine_ = std::make_shared<OutputEngine>(ringBuffer_);
    isRunning.set(settingsStore_.loadIsRunning());

    resolveOutputDevice();
    bindObservers();
    applyRunningState();
    cameraExtension_->activate();
    hotKey_->onPress = [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->toggleRunning();
    };
    hotKey_->registerShortcut(pauseShortcut.value());
    monitorDevices.set(monitorOutputDevices());
}

AppState::~AppState() {
    cancellables_.clear();
    captureEngine_.reset();
    outputEngine_.reset();
    monitorEngine_.reset();
    deviceManager_.reset();
    for (RingBuffer* ring : {ringBuffer_, monitorRingBuffer_})
        RingBufferFree(ring);
}

void AppState::resolveOutputDevice() {
    if (AudioProperties::deviceForUID(kFeedDeviceUID)) {
        outputDeviceUID.set(std::string(kFeedDeviceUID));
        outputDeviceMissing.set(false);
    } else if (auto fallback = AudioProperties::findDeviceNamed(kFallbackOutputName)) {
        outputDeviceUID.set(fallback->uid);
        outputDeviceMissing.set(false);
    } else {
        outputDeviceUID.set(std::nullopt);
        outputDeviceMissing.set(true);
        log().error("Weder Velunto Mic noch BlackHole 2ch gefunden.");
    }
}

void AppState::bindObservers() {
    const std::weak_ptr<AppState> weak = weak_from_this();
    // The capture engine rebuilds its graph with the flag too, so a bypassed effect stays bypassed.
    pluginHost_->isBypassed
        .sink(DispatchQueue::main(),
              [weak](const bool& bypassed) {
                  if (auto self = weak.lock()) {
                      self->captureEngine_->setBypassed(bypassed);
                      self->updateLatency();
                  }
              })
        .store(cancellables_);
    deviceManager_->availableInputDevices
        .sink(DispatchQueue::main(),
              [weak](const std::vector<AudioDeviceInfo>&) {
                  if (auto self = weak.lock()) {
                      self->monitorDevices.set(self->monitorOutputDevices());
                      self->updateMonitoring();
                      // A capture that gave up (its device had died) tries again when the devices change: the
                      // device may be back under the same UID, which re-resolves to no change.
                      if (self->isRunning.value() && self->captureStatus.value().isError())
                          self->captureEngine_->start(self->deviceManager_->resolvedDeviceUID.value());
                  }
              })
        .store(cancellables_);
    deviceManager_->resolvedDeviceUID
        .sink(DispatchQueue::main(),
              [weak](const std::optional<std::string>&) {
                  if (auto self = weak.lock()) {
                      self->switchEQToResolvedDevice();
                      self->applyRunningState();
                      self->updateLatency();
                  }
              })
        .store(cancellables_);
    pluginHost_->onPluginChanged = [weak](std::shared_ptr<AVAudioUnit> unit) {
        if (auto self = weak.lock()) {
            self->captureEngine_->setPluginUnit(std::move(unit));
            self->updateLatency();
        }
    };
    captureEngine_->onStatusChange = [weak](const EngineStatus& status) {
        DispatchQueue::main().async([weak, status] {
            auto self = weak.lock();
            if (!self)
                return;
            self->captureStatus.set(status);
            // The block size is known only once the engine has rendered.
            if (status.kind() == EngineStatus::Kind::running)
                DispatchQueue::main().asyncAfter(DispatchTime::now() + std::chrono::milliseconds(500), [weak] {
                    if (auto later = weak.lock())
                        later->updateLatency();
                });
        });
    };
    outputEngine_->onStatusChange = [weak](const EngineStatus& status) {
        DispatchQueue::main().async([weak, status] {
            if (auto self = weak.lock())
                self->outputStatus.set(status);
        });
    };
}

void AppState::applyRunningState() {
    updateMonitoring();
    if (!isRunning.value()) {
        captureEngine_->stop();
        outputEngine_->stop();
        return;
    }
    if (outputDeviceUID.value() && outputEngine_->status().kind() != EngineStatus::Kind::running)
        outputEngine_->start(*outputDeviceUID.value());
    captureEngine_->start(deviceManager_->resolvedDeviceUID.value());
    updateLatency();
}

void AppState::setMeasurement(const std::string& key, const std::optional<PluginLatencyMeasurement>& measurement) {
    auto measurements = pluginLatencyMeasurements.value();
    if (measurement)
        measurements[key] = *measurement;
    else
        measurements.erase(key);
    pluginLatencyMeasurements.set(measurements);
    settingsStore_.savePluginLatencyMeasurements(measurements);
    updateLatency();
}

void AppState::updateLatency() {
    const double pluginSeconds =
        LatencyMeter::effectivePluginLatency(pluginHost_->loadedUnit.value().get(), pluginLatencyMeasurements.value(),
                                             captureEngine_->renderFrameCount(), pluginHost_->isBypassed.value());
    const auto device = [](const std::optional<std::string>& uid) -> AudioObjectID {
        if (!uid)
            return kAudioObjectUnknown;
        return AudioProperties::deviceForUID(*uid).value_or(AudioObjectID{kAudioObjectUnknown});
    };
    const AudioObjectID input = device(deviceManager_->resolvedDeviceUID.value());
    const AudioObjectID output = device(outputDeviceUID.value());
    if (input == kAudioObjectUnknown || output == kAudioObjectUnknown) {
        latencyMilliseconds.set(std::nullopt);
    } else {
        const double inputRate = AudioProperties::nominalSampleRate(input).value_or(48000.0);
        const double outputRate = AudioProperties::nominalSampleRate(output).value_or(48000.0);
        latencyMilliseconds.set(pluginSeconds * 1000 +
                                deviceFrames(input, kAudioObjectPropertyScopeInput) / inputRate * 1000 +
                                OutputEngine::kTargetFillFrames / 48000.0 * 1000 +
                                deviceFrames(output, kAudioObjectPropertyScopeOutput) / outputRate * 1000);
    }
    cameraEngine_->setDelay(videoDelayMilliseconds());
}

void AppState::setPauseShortcut(const std::optional<KeyShortcut>& shortcut) {
    pauseShortcut.set(shortcut);
    settingsStore_.savePauseShortcut(shortcut);
    hotKey_->registerShortcut(shortcut);
}

void AppState::setVideoOffsetMilliseconds(std::int64_t milliseconds) {
    videoOffsetMilliseconds.set(milliseconds);
    settingsStore_.defaults->set(rawValue(SettingsKey::videoOffsetMilliseconds), PropertyListValue(milliseconds));
    cameraEngine_->setDelay(videoDelayMilliseconds());
}

NSWindowController* AppState::windowController(std::shared_ptr<NSWindowController>& slot, AuxiliaryWindow window,
                                               const char* title) {
    if (!slot && makeWindowController)
        slot = makeWindowController(window, title);
    return slot.get();
}

void AppState::openEQWindow() {
    const bool made = eqWindowController_ != nullptr;
    NSWindowController* controller = windowController(eqWindowController_, AuxiliaryWindow::eq, kEQWindowTitle);
    if (!controller)
        return;
    if (!made)
        controller->onClose = [weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self)
                return;
            self->deviceEQ_->flushPendingSave();
            if (std::exchange(self->eqWindowIsAnalyzerClient_, false))
                self->spectrumAnalyzer_->removeClient();
        };
    // One analyser client for the window, however often it is brought forward while on screen.
    if (!eqWindowIsAnalyzerClient_) {
        spectrumAnalyzer_->addClient();
        eqWindowIsAnalyzerClient_ = true;
    }
    controller->showWindow();
}

void AppState::openPriorityWindow() {
    if (NSWindowController* controller =
            windowController(priorityWindowController_, AuxiliaryWindow::priorityList, kPriorityWindowTitle))
        controller->showWindow();
}

void AppState::openLatencyWindow() {
    if (NSWindowController* controller =
            windowController(latencyWindowController_, AuxiliaryWindow::latencyMeter, kLatencyWindowTitle))
        controller->showWindow();
}

double AppState::videoDelayMilliseconds() const {
    return std::max(0.0,
                    latencyMilliseconds.value().value_or(0.0) + static_cast<double>(videoOffsetMilliseconds.value()));
}

void AppState::switchEQToResolvedDevice() {
    std::optional<AudioDeviceInfo> device;
    if (const auto& uid = deviceManager_->resolvedDeviceUID.value())
        for (const auto& candidate : deviceManager_->availableInputDevices.value())
            if (candidate.uid == *uid)
                device = candidate;
    deviceEQ_->switchToDevice(device);
}

void AppState::updateMonitoring() {
    if (isMonitoring.value() && isRunning.value()) {
        if (auto device = monitorDeviceToUse()) {
            if (monitorEngine_->status().kind() != EngineStatus::Kind::running)
                monitorEngine_->start(device->uid);
            return;
        }
    }
    monitorEngine_->stop();
}

std::optional<AudioDeviceInfo> AppState::monitorDeviceToUse() const {
    const auto& devices = monitorDevices.value();
    if (const auto& chosen = monitorDeviceUID.value())
        for (const auto& device : devices)
            if (device.uid == *chosen)
                return device;
    if (auto defaultOutput = AudioProperties::defaultOutputDevice())
        if (auto uid = AudioProperties::deviceUID(*defaultOutput))
            for (const auto& device : devices)
                if (device.uid == *uid)
                    return device;
    if (!devices.empty())
        return devices.front();
    return std::nullopt;
}

std::vector<AudioDeviceInfo> AppState::monitorOutputDevices() const {
    std::vector<AudioDeviceInfo> devices;
    for (AudioObjectID device : AudioProperties::allDevices()) {
        if (AudioProperties::channelCount(device, kAudioObjectPropertyScopeOutput) < 1)
            continue;
        if (AudioProperties::isHidden(device))
            continue;
        auto uid = AudioProperties::deviceUID(device);
        if (!uid)
            continue;
        auto name = AudioProperties::deviceName(device);
        if (!name)
            continue;
        if (*uid == kVirtualMicUID || *uid == kFeedDeviceUID)
            continue;
        if (LocalizedText::containsIgnoringCase(*name, kFallbackOutputName))
            continue;
        if (uid->starts_with("CADefaultDeviceAggregate"))
            continue;
        devices.push_back(AudioDeviceInfo{device, std::move(*uid), std::move(*name)});
    }
    DeviceManager::sortByName(devices);
    return devices;
}

bool AppState::showsMonitorFeedbackWarning() const {
    if (!isMonitoring.value())
        return false;
    const auto monitor = monitorDeviceToUse();
    if (!monitor)
        return false;
    const auto& inputUID = deviceManager_->resolvedDeviceUID.value();
    if (!inputUID)
        return false;
    const auto input = deviceManager_->deviceWithUID(*inputUID);
    if (!input)
        return false;
    const auto builtIn = std::optional<UInt32>(kAudioDeviceTransportTypeBuiltIn);
    return AudioProperties::transportType(monitor->deviceID) == builtIn &&
           AudioProperties::transportType(input->deviceID) == builtIn;
}

EngineStatus AppState::overallStatus() const {
    if (captureStatus.value().isError())
        return captureStatus.value();
    if (outputStatus.value().isError())
        return outputStatus.value();
    if (!isRunning.value())
        return EngineStatus::stopped();
    if (captureStatus.value() == EngineStatus::running() && outputStatus.value() == EngineStatus::running())
        return EngineStatus::running();
    return EngineStatus::starting();
}

void AppState::setRunning(bool running) {
    if (running == isRunning.value())
        return;
    isRunning.set(running);
    settingsStore_.defaults->set(rawValue(SettingsKey::isRunning), PropertyListValue(running));
    applyRunningState();
}

void AppState::toggleRunning() {
    setRunning(!isRunning.value());
}

void AppState::setMonitoring(bool monitoring) {
    if (monitoring == isMonitoring.value())
        return;
    isMonitoring.set(monitoring);
    updateMonitoring();
}

void AppState::setMonitorDeviceUID(const std::optional<std::string>& uid) {
    if (uid == monitorDeviceUID.value())
        return;
    monitorDeviceUID.set(uid);
    const std::string key = rawValue(SettingsKey::monitorDeviceUID);
    if (uid)
        settingsStore_.defaults->set(key, PropertyListValue(*uid));
    else
        settingsStore_.defaults->removeObject(key);
    monitorEngine_->stop();
    updateMonitoring();
}

}  // namespace velunto
