#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/audio/CaptureEngine.h"
#include "app/audio/EngineStatus.h"
#include "app/audio/OutputEngine.h"
#include "app/audio/RingBuffer.h"
#include "app/camera/CameraEngine.h"
#include "app/camera/CameraExtensionActivator.h"
#include "app/devices/AudioDeviceInfo.h"
#include "app/devices/DeviceManager.h"
#include "app/processing/DeviceEQ.h"
#include "app/processing/LatencyMeter.h"
#include "app/processing/PluginHost.h"
#include "app/processing/PluginLatencyMeasurement.h"
#include "app/processing/SpectrumAnalyzer.h"
#include "app/settings/SettingsStore.h"
#include "app/ui/HotKey.h"
#include "app/ui/KeyShortcut.h"
#include "platform/appkit/NSWindowController.h"
#include "platform/combine/AnyCancellable.h"
#include "platform/combine/Published.h"
#include "platform/foundation/UserDefaults.h"

namespace velunto {

// The application's one central object: owns the stores and engines, wires them together, keeps the
// pipeline's persisted choices and publishes what the user interface shows. Main thread only.
class AppState : public std::enable_shared_from_this<AppState> {
public:
    // Over the standard user defaults, or the given ones (tests, the headless run).
    static std::shared_ptr<AppState> make(std::shared_ptr<UserDefaults> defaults = UserDefaults::standard());
    ~AppState();
    AppState(const AppState&) = delete;
    AppState& operator=(const AppState&) = delete;

    static constexpr const char* kFeedDeviceUID = "app.velunto.mic.feed";
    static constexpr const char* kVirtualMicUID = "app.velunto.mic";
    static constexpr const char* kFallbackOutputName = "BlackHole 2ch";

    SettingsStore& settingsStore() { return settingsStore_; }
    DeviceManager& deviceManager() { return *deviceManager_; }
    CaptureEngine& captureEngine() { return *captureEngine_; }
    OutputEngine& outputEngine() { return *outputEngine_; }
    OutputEngine& monitorEngine() { return *monitorEngine_; }
    DeviceEQ& deviceEQ() { return *deviceEQ_; }
    PluginHost& pluginHost() { return *pluginHost_; }
    LatencyMeter& latencyMeter() { return *latencyMeter_; }
    SpectrumAnalyzer& spectrumAnalyzer() { return *spectrumAnalyzer_; }
    CameraEngine& cameraEngine() { return *cameraEngine_; }
    CameraExtensionActivator& cameraExtension() { return *cameraExtension_; }
    RingBuffer* ringBuffer() const { return ringBuffer_; }
    RingBuffer* monitorRingBuffer() const { return monitorRingBuffer_; }

    Published<std::map<std::string, PluginLatencyMeasurement>> pluginLatencyMeasurements{{}};
    Published<std::vector<AudioDeviceInfo>> monitorDevices{{}};
    Published<bool> isMonitoring{false};
    Published<std::optional<std::string>> monitorDeviceUID{std::nullopt};
    Published<std::optional<KeyShortcut>> pauseShortcut{std::nullopt};
    Published<std::int64_t> videoOffsetMilliseconds{0};
    Published<EngineStatus> captureStatus{EngineStatus::stopped()};
    Published<EngineStatus> outputStatus{EngineStatus::stopped()};
    Published<std::optional<std::string>> outputDeviceUID{std::nullopt};
    Published<bool> outputDeviceMissing{false};
    Published<std::optional<double>> latencyMilliseconds{std::nullopt};
    Published<bool> isRunning{true};

    // The reactions of the user's settings.
    void setRunning(bool running);
    void setMonitoring(bool monitoring);
    void setMonitorDeviceUID(const std::optional<std::string>& uid);
    void toggleRunning();

    // The latency meter's result for a plug-in (none removes it): stored, then the latency updated.
    void setMeasurement(const std::string& key, const std::optional<PluginLatencyMeasurement>& measurement);
    // Input device + plug-in + output fill target + output device, in milliseconds.
    void updateLatency();
    // The picture delay: the latency plus the user's offset, never below 0.
    double videoDelayMilliseconds() const;
    // Stored, then the camera's delay follows.
    void setVideoOffsetMilliseconds(std::int64_t milliseconds);
    // Stored (none removes it), then registered as the global pause shortcut.
    void setPauseShortcut(const std::optional<KeyShortcut>& shortcut);
    HotKey& hotKey() { return *hotKey_; }

    // The auxiliary windows. The user interface makes a controller (around the window's view) when a
    // window is first opened; it is kept and reused afterwards.
    enum class AuxiliaryWindow { eq, priorityList, latencyMeter };
    static constexpr const char* kEQWindowTitle = "EQ";
    static constexpr const char* kPriorityWindowTitle = "Prioritätenliste";
    static constexpr const char* kLatencyWindowTitle = "Latenz messen";
    std::function<std::shared_ptr<NSWindowController>(AuxiliaryWindow window, const std::string& title)>
        makeWindowController;
    // The EQ window runs the spectrum analyser while it is on screen; closing it stores a pending
    // equaliser change at once.
    void openEQWindow();
    void openPriorityWindow();
    void openLatencyWindow();
    const std::shared_ptr<NSWindowController>& eqWindowController() const { return eqWindowController_; }
    const std::shared_ptr<NSWindowController>& priorityWindowController() const { return priorityWindowController_; }
    const std::shared_ptr<NSWindowController>& latencyWindowController() const { return latencyWindowController_; }

    EngineStatus overallStatus() const;
    std::optional<AudioDeviceInfo> monitorDeviceToUse() const;
    bool showsMonitorFeedbackWarning() const;
    std::vector<AudioDeviceInfo> monitorOutputDevices() const;

private:
    NSWindowController* windowController(std::shared_ptr<NSWindowController>& slot, AuxiliaryWindow window,
                                         const char* title);
    explicit AppState(std::shared_ptr<UserDefaults> defaults);
    void construct();
    void resolveOutputDevice();
    void bindObservers();
    void applyRunningState();
    void switchEQToResolvedDevice();
    void updateMonitoring();

    std::shared_ptr<SpectrumAnalyzer> spectrumAnalyzer_;
    std::shared_ptr<LatencyMeter> latencyMeter_;
    std::shared_ptr<CameraExtensionActivator> cameraExtension_;
    std::shared_ptr<CameraEngine> cameraEngine_;
    std::unique_ptr<HotKey> hotKey_;
    SettingsStore settingsStore_;
    std::shared_ptr<DeviceManager> deviceManager_;
    std::shared_ptr<PluginHost> pluginHost_;
    std::shared_ptr<DeviceEQ> deviceEQ_;
    std::shared_ptr<NSWindowController> eqWindowController_;
    std::shared_ptr<NSWindowController> priorityWindowController_;
    std::shared_ptr<NSWindowController> latencyWindowController_;
    bool eqWindowIsAnalyzerClient_ = false;
    RingBuffer* ringBuffer_ = nullptr;
    RingBuffer* monitorRingBuffer_ = nullptr;
    std::shared_ptr<OutputEngine> monitorEngine_;
    std::shared_ptr<CaptureEngine> captureEngine_;
    std::shared_ptr<OutputEngine> outputEngine_;
    std::vector<AnyCancellable> cancellables_;
};

}  // namespace velunto
