#include "app/ui/MenuPanelModel.h"

#include <QString>
#include <QUrl>
#include <algorithm>
#include <cmath>

#include "app/audio/AppState.h"
#include "app/ui/LaunchAtLogin.h"
#include "app/ui/Updater.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSURL.h"
#include "platform/appkit/NSWorkspace.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSProcessInfo.h"

namespace velunto {

namespace {

PanelMenuItem option(std::string title, bool selected, std::function<void()> action) {
    return {PanelMenuItem::Kind::option, std::move(title), selected, std::move(action)};
}

PanelMenuItem divider() {
    return {PanelMenuItem::Kind::divider, {}, false, {}};
}

std::string percentEncoded(const std::string& text) {
    return QUrl::toPercentEncoding(QString::fromStdString(text)).toStdString();
}

const char* processorFamily() {
#if defined(__x86_64__)
    return "Intel";
#elif defined(__aarch64__)
    return "ARM";
#else
    return "?";
#endif
}

}  // namespace

MenuPanelModel::MenuPanelModel(std::shared_ptr<AppState> appState, std::shared_ptr<Updater> updater,
                               std::shared_ptr<LaunchAtLogin> launchAtLogin)
    : appState_(std::move(appState)), updater_(std::move(updater)), launchAtLogin_(std::move(launchAtLogin)) {
    subscribe();
}

MenuPanelModel::~MenuPanelModel() {
    *alive_ = false;
}

void MenuPanelModel::changed() const {
    if (onChange)
        onChange();
}

void MenuPanelModel::subscribe() {
    const auto watch = [this](auto& published) {
        published
            .sink(DispatchQueue::main(),
                  [this, alive = std::weak_ptr<bool>(alive_)](const auto&) {
                      if (const auto isAlive = alive.lock(); isAlive && *isAlive)
                          changed();
                  },
                  {.initial = false})
            .store(cancellables_);
    };
    AppState& state = *appState_;
    watch(state.captureStatus);
    watch(state.outputStatus);
    watch(state.isRunning);
    watch(state.latencyMilliseconds);
    watch(state.outputDeviceMissing);
    watch(state.isMonitoring);
    watch(state.monitorDeviceUID);
    watch(state.monitorDevices);
    watch(state.videoOffsetMilliseconds);
    watch(state.pauseShortcut);
    watch(state.deviceManager().availableInputDevices);
    watch(state.deviceManager().resolvedDeviceUID);
    watch(state.deviceManager().isUsingFallback);
    watch(state.deviceManager().priorityList);
    watch(state.pluginHost().availablePlugins);
    watch(state.pluginHost().selectedPlugin);
    watch(state.pluginHost().loadedUnit);
    watch(state.pluginHost().isBypassed);
    watch(state.deviceEQ().settings);
    watch(state.cameraEngine().availableCameras);
    watch(state.cameraEngine().isCapturing);
    watch(state.cameraEngine().isAccessDenied);
    watch(state.cameraEngine().selection);
    watch(state.cameraExtension().state);
    if (updater_)
        watch(updater_->canCheckForUpdates);
    if (launchAtLogin_) {
        watch(launchAtLogin_->isEnabled);
        watch(launchAtLogin_->needsApproval);
    }
}

std::string MenuPanelModel::inputDeviceName() const {
    const auto& uid = appState_->deviceManager().resolvedDeviceUID.value();
    if (!uid)
        return {};
    for (const auto& device : appState_->deviceManager().availableInputDevices.value())
        if (device.uid == *uid)
            return device.name;
    return {};
}

std::optional<std::string> MenuPanelModel::loadedPluginName() const {
    const PluginHost& host = appState_->pluginHost();
    if (!host.loadedUnit.value() || !host.selectedPlugin.value())
        return std::nullopt;
    return host.selectedPlugin.value()->name;
}

// Header

std::string MenuPanelModel::statusLine() const {
    const EngineStatus status = appState_->overallStatus();
    switch (status.kind()) {
        case EngineStatus::Kind::stopped:
            return "Pausiert";
        case EngineStatus::Kind::starting:
            return "Startet …";
        case EngineStatus::Kind::running: {
            const std::string input = inputDeviceName();
            return (input.empty() ? std::string("Kein Eingang") : input) + " → " +
                   loadedPluginName().value_or("ohne Plugin");
        }
        case EngineStatus::Kind::error:
            return status.message();
    }
    return {};
}

std::optional<std::int64_t> MenuPanelModel::latencyMilliseconds() const {
    const auto latency = appState_->latencyMilliseconds.value();
    if (!latency || !std::isfinite(*latency))
        return std::nullopt;
    return static_cast<std::int64_t>(std::llround(*latency));
}

std::string MenuPanelModel::latencyUnit() {
    return "ms Latenz";
}

bool MenuPanelModel::isPowerOn() const {
    return appState_->isRunning.value();
}

std::string MenuPanelModel::powerLabel() const {
    return isPowerOn() ? "Pausieren" : "Starten";
}

void MenuPanelModel::togglePower() {
    appState_->toggleRunning();
}

// Notices

std::vector<PanelNotice> MenuPanelModel::notices() const {
    if (hidesNotices)
        return {};
    std::vector<PanelNotice> shown;
    if (appState_->outputDeviceMissing.value())
        shown.push_back({"exclamationmark.triangle.fill", "Velunto Mic fehlt. Bitte Velunto neu installieren."});
    if (appState_->showsMonitorFeedbackWarning())
        shown.push_back({"ear.trianglebadge.exclamationmark",
                         "Vorhören über die eingebauten Lautsprecher kann pfeifen. Besser Kopfhörer wählen."});
    if (appState_->deviceManager().isUsingFallback.value())
        shown.push_back({"arrow.uturn.backward", "Gewähltes Mikrofon nicht verbunden, nutze Systemstandard."});
    if (const auto notice = appState_->cameraExtension().state.value().notice())
        shown.push_back({"video.badge.exclamationmark", *notice, true});
    return shown;
}

void MenuPanelModel::openExtensionSettings() {
    appState_->cameraExtension().openSettings();
}

// Audio card

std::string MenuPanelModel::inputValue() const {
    const std::string name = inputDeviceName();
    std::string value = appState_->deviceManager().resolvedDeviceUID.value() && !name.empty() ? name : "Keiner";
    if (appState_->deviceManager().mode().kind == InputMode::Kind::priority)
        value += " · Priorität";
    return value;
}

std::vector<PanelMenuItem> MenuPanelModel::inputMenu() const {
    DeviceManager& manager = appState_->deviceManager();
    const InputMode& mode = manager.mode();
    const auto select = [this](InputMode newMode) {
        return [this, newMode, alive = std::weak_ptr<bool>(alive_)] {
            if (!alive.lock())
                return;
            appState_->deviceManager().setMode(newMode);
            changed();
        };
    };
    const std::string followTitle = mode.kind == InputMode::Kind::systemDefault && !inputDeviceName().empty()
                                        ? "Systemstandard folgen (" + inputDeviceName() + ")"
                                        : std::string("Systemstandard folgen");
    std::vector<PanelMenuItem> menu{
        option(followTitle, mode.kind == InputMode::Kind::systemDefault, select(InputMode::systemDefault())),
        divider()};
    for (const auto& device : manager.availableInputDevices.value())
        menu.push_back(option(device.name, mode.kind == InputMode::Kind::fixed && mode.uid == device.uid,
                              select(InputMode::fixed(device.uid))));
    menu.push_back(divider());
    menu.push_back(option("Nach Priorität", mode.kind == InputMode::Kind::priority, select(InputMode::priority())));
    menu.push_back({PanelMenuItem::Kind::button, "Prioritätenliste bearbeiten …", false,
                    [state = std::weak_ptr<AppState>(appState_)] {
                        if (auto locked = state.lock())
                            locked->openPriorityWindow();
                    }});
    return menu;
}

std::string MenuPanelModel::pluginValue() const {
    const auto& selected = appState_->pluginHost().selectedPlugin.value();
    return selected ? selected->name : "Kein Plugin";
}

std::vector<PanelMenuItem> MenuPanelModel::pluginMenu() const {
    PluginHost& host = appState_->pluginHost();
    const auto& selected = host.selectedPlugin.value();
    const auto choose = [state = std::weak_ptr<AppState>(appState_)](std::optional<PluginDescription> plugin) {
        return [state, plugin] {
            if (auto locked = state.lock())
                locked->pluginHost().selectPlugin(plugin);
        };
    };
    std::vector<PanelMenuItem> menu{option("Kein Plugin", !selected, choose(std::nullopt))};
    for (const auto& plugin : host.availablePlugins.value())
        menu.push_back(option(plugin.name, selected && *selected == plugin, choose(plugin)));
    return menu;
}

bool MenuPanelModel::isBypassed() const {
    return appState_->pluginHost().isBypassed.value();
}

void MenuPanelModel::setBypassed(bool bypassed) {
    appState_->pluginHost().setBypassed(bypassed);
}

bool MenuPanelModel::isEQOn() const {
    return appState_->deviceEQ().settings.value().isEnabled;
}

bool MenuPanelModel::isEQToggleEnabled() const {
    return appState_->deviceManager().resolvedDeviceUID.value().has_value();
}

void MenuPanelModel::setEQOn(bool on) {
    if (!isEQToggleEnabled())
        return;
    EQSettings settings = appState_->deviceEQ().settings.value();
    settings.isEnabled = on;
    appState_->deviceEQ().setSettings(settings);
}

bool MenuPanelModel::isMonitoring() const {
    return appState_->isMonitoring.value();
}

void MenuPanelModel::setMonitoring(bool monitoring) {
    appState_->setMonitoring(monitoring);
}

std::string MenuPanelModel::monitorDeviceValue() const {
    const auto device = appState_->monitorDeviceToUse();
    return device ? device->name : "Kein Gerät";
}

std::vector<PanelMenuItem> MenuPanelModel::monitorDeviceMenu() const {
    const auto inUse = appState_->monitorDeviceToUse();
    std::vector<PanelMenuItem> menu;
    for (const auto& device : appState_->monitorDevices.value())
        menu.push_back(option(device.name, inUse && inUse->uid == device.uid,
                              [state = std::weak_ptr<AppState>(appState_), uid = device.uid] {
                                  if (auto locked = state.lock())
                                      locked->setMonitorDeviceUID(uid);
                              }));
    return menu;
}

// Camera card

std::string MenuPanelModel::cameraValue() const {
    const CameraEngine& camera = appState_->cameraEngine();
    const CameraSelection& selection = camera.selection.value();
    switch (selection.kind) {
        case CameraSelection::Kind::none:
            return "Keine";
        case CameraSelection::Kind::automatic:
            break;
        case CameraSelection::Kind::device:
            for (const auto& info : camera.availableCameras.value())
                if (info.uniqueID == selection.uniqueID)
                    return info.name;
            return "Keine";
    }
    for (const auto& item : cameraMenu())
        if (item.isSelected)
            return item.title;
    return "Automatisch";
}

std::vector<PanelMenuItem> MenuPanelModel::cameraMenu() const {
    const CameraEngine& camera = appState_->cameraEngine();
    const CameraSelection& selection = camera.selection.value();
    const auto choose = [state = std::weak_ptr<AppState>(appState_)](CameraSelection chosen) {
        return [state, chosen] {
            if (auto locked = state.lock())
                locked->cameraEngine().setSelection(chosen);
        };
    };
    std::string automaticTitle = "Automatisch";
    if (const auto id = camera.automaticCameraID())
        for (const auto& info : camera.availableCameras.value())
            if (info.uniqueID == *id)
                automaticTitle = "Automatisch (" + info.name + ")";
    std::vector<PanelMenuItem> menu{
        option("Keine", selection.kind == CameraSelection::Kind::none, choose(CameraSelection::none())), divider(),
        option(automaticTitle, selection.kind == CameraSelection::Kind::automatic,
               choose(CameraSelection::automatic()))};
    for (const auto& info : camera.availableCameras.value())
        menu.push_back(option(info.name,
                              selection.kind == CameraSelection::Kind::device && selection.uniqueID == info.uniqueID,
                              choose(CameraSelection::device(info.uniqueID))));
    return menu;
}

std::int64_t MenuPanelModel::videoOffsetMilliseconds() const {
    return appState_->videoOffsetMilliseconds.value();
}

void MenuPanelModel::setVideoOffsetMilliseconds(std::int64_t milliseconds) {
    const std::int64_t clamped = std::clamp(milliseconds, kMinimumOffsetMilliseconds, kMaximumOffsetMilliseconds);
    const double steps = std::round(static_cast<double>(clamped) / static_cast<double>(kOffsetStepMilliseconds));
    appState_->setVideoOffsetMilliseconds(static_cast<std::int64_t>(steps) * kOffsetStepMilliseconds);
}

std::string MenuPanelModel::videoDelayCaption() const {
    const CameraEngine& camera = appState_->cameraEngine();
    std::string caption = "Bild " + std::to_string(std::llround(appState_->videoDelayMilliseconds())) + " ms verzögert";
    if (camera.isAccessDenied.value())
        caption += " · kein Kamerazugriff";
    else if (camera.isCapturing.value())
        caption += " · Kamera aktiv";
    else
        caption += " · Kamera aus";
    return caption;
}

// Tools

void MenuPanelModel::openEQ() {
    appState_->openEQWindow();
}

void MenuPanelModel::openLatency() {
    if (arePluginToolsEnabled())
        appState_->openLatencyWindow();
}

void MenuPanelModel::openPlugin() {
    if (arePluginToolsEnabled() && openPluginWindow)
        openPluginWindow();
}

bool MenuPanelModel::arePluginToolsEnabled() const {
    return appState_->pluginHost().loadedUnit.value() != nullptr;
}

// Settings

bool MenuPanelModel::launchesAtLogin() const {
    return launchAtLogin_ && launchAtLogin_->isEnabled.value();
}

void MenuPanelModel::setLaunchesAtLogin(bool enabled) {
    if (launchAtLogin_)
        launchAtLogin_->setEnabled(enabled);
}

std::string MenuPanelModel::launchAtLoginTitle() const {
    return launchAtLogin_ && launchAtLogin_->needsApproval.value() ? "Bei Anmeldung starten (erlauben …)"
                                                                   : "Bei Anmeldung starten";
}

std::optional<KeyShortcut> MenuPanelModel::pauseShortcut() const {
    return appState_->pauseShortcut.value();
}

void MenuPanelModel::setPauseShortcut(const std::optional<KeyShortcut>& shortcut) {
    appState_->setPauseShortcut(shortcut);
}

// Footer

bool MenuPanelModel::canCheckForUpdates() const {
    return updater_ && updater_->canCheckForUpdates.value();
}

void MenuPanelModel::checkForUpdates() {
    if (canCheckForUpdates())
        updater_->checkForUpdates();
}

std::string MenuPanelModel::feedbackSubject() const {
    return "Velunto Feedback (" +
           NSBundle::mainBundle().stringForInfoDictionaryKey("CFBundleShortVersionString").value_or("?") + ")";
}

std::string MenuPanelModel::feedbackBody() const {
    const NSBundle& bundle = NSBundle::mainBundle();
    return "\n\n––––\nVelunto " + bundle.stringForInfoDictionaryKey("CFBundleShortVersionString").value_or("?") + " (" +
           bundle.stringForInfoDictionaryKey("CFBundleVersion").value_or("?") + ")\nmacOS " +
           NSProcessInfo::processInfo().operatingSystemVersionString() + ", " + processorFamily() +
           "\nPlugin: " + loadedPluginName().value_or("keins");
}

std::string MenuPanelModel::feedbackURL() const {
    return std::string("mailto:") + kFeedbackAddress + "?subject=" + percentEncoded(feedbackSubject()) +
           "&body=" + percentEncoded(feedbackBody());
}

void MenuPanelModel::sendFeedback() {
    if (const auto url = NSURL::URLWithString(feedbackURL()))
        NSWorkspace::sharedWorkspace().openURL(*url);
}

void MenuPanelModel::quit() {
    NSApplication::shared().terminate();
}

}  // namespace velunto
