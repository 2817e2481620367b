#include "tests/campaign/SimulationCampaign.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "app/audio/AppState.h"
#include "app/settings/SettingsKey.h"
#include "camera-extension/CameraProviderSource.h"
#include "demo/CameraViewer.h"
#include "mic-driver/VeluntoMicDriver.h"
#include "platform/audiounit/AudioComponentRegistry.h"
#include "platform/coreaudio/AudioServerPlugInHost.h"
#include "platform/coremediaio/CMIOExtensionProvider.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/DispatchTime.h"
#include "platform/dispatch/HostClock.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/mach/RealTimeContext.h"
#include "platform/oslog/LogCapture.h"
#include "platform/oslog/LogSinks.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedCallApp.h"
#include "platform/sim/SimulatedCameraHardware.h"
#include "platform/sim/SimulatedEffects.h"
#include "platform/sim/SimulatedGainEffect.h"
#include "platform/sim/SimulatedSystemExtensions.h"
#include "tests/campaign/RealTimeViolations.h"

namespace velunto {

using namespace std::chrono_literals;

namespace {

constexpr const char* kBuiltInMic = "sim.builtin.mic";
constexpr const char* kUSBMic = "sim.usb.mic";
constexpr const char* kHeadset = "sim.headset";
constexpr const char* kSpeakers = "sim.builtin.speakers";
const std::vector<std::string> kInputs = {kBuiltInMic, kUSBMic, kHeadset};
const std::vector<std::string> kCameras = {"builtin", "external"};

// An equaliser drag is saved this long (ns) after it, or may be lost with a killed process.
constexpr std::uint64_t kEQSaveDelay = 600'000'000;
constexpr OSType kBrokenSubType = 'cbrk';
constexpr OSType kHangingSubType = 'chng';
constexpr auto kHang = 6s;                          // shorter than the call app's memory
constexpr std::uint64_t kCallAppFrames = 1u << 19;  // more than one step records

SimulatedDeviceDescription deviceDescription(const std::string& uid, std::uint32_t seed) {
    SimulatedDeviceDescription d;
    d.uid = uid;
    d.signal = SimulatedSignal::whiteNoise(0.3, seed);
    if (uid == kBuiltInMic) {
        d.name = "Eingebautes Mikrofon";
        d.inputChannels = 1;
    } else if (uid == kUSBMic) {
        d.name = "USB-Mikrofon";
        d.inputChannels = 1;
        d.nominalSampleRate = 44100;
        d.availableSampleRates = {44100, 48000};
        d.bufferFrameSize = 441;
        d.driftPPM = 80;
        d.transportType = kAudioDeviceTransportTypeUSB;
    } else if (uid == kHeadset) {
        d.name = "Headset";
        d.inputChannels = 1;
        d.outputChannels = 2;
        d.bufferFrameSize = 480;
        d.driftPPM = -50;
        d.transportType = kAudioDeviceTransportTypeBluetooth;
    } else {
        d.name = "Eingebaute Lautsprecher";
        d.outputChannels = 2;
    }
    return d;
}

std::vector<SimulatedCameraDescription> campaignCameras() {
    auto cameras = SimulatedCameraHardware::standardCameras();
    for (auto& camera : cameras) {
        camera.framesPerSecond = 5;  // enough to see the path work; a 1080p conversion per frame is costly
        camera.sizes = {camera.sizes.front()};
    }
    return cameras;
}

// Two more effects: one whose instance cannot be made, one whose loading blocks for kHang.
void registerFaultyEffects() {
    static const bool registered = [] {
        auto& registry = AudioComponentRegistry::shared();
        registry.registerComponent({kAudioUnitType_Effect, kBrokenSubType, kSimulatedEffectManufacturer, 0, 0},
                                   "Velunto Sim: Kaputt", kSimulatedEffectManufacturerName,
                                   []() -> std::unique_ptr<AudioUnitBase> { return nullptr; });
        registry.registerComponent({kAudioUnitType_Effect, kHangingSubType, kSimulatedEffectManufacturer, 0, 0},
                                   "Velunto Sim: Hänger", kSimulatedEffectManufacturerName,
                                   []() -> std::unique_ptr<AudioUnitBase> {
                                       DispatchSemaphore never(0);
                                       never.wait(DispatchTime::now() + kHang);
                                       return std::make_unique<SimulatedGainEffect>();
                                   });
        return true;
    }();
    (void)registered;
}

std::string describe(const std::optional<std::string>& value) {
    return value ? *value : "–";
}

std::string describe(const EngineStatus& status) {
    switch (status.kind()) {
        case EngineStatus::Kind::stopped:
            return "gestoppt";
        case EngineStatus::Kind::starting:
            return "startet";
        case EngineStatus::Kind::running:
            return "läuft";
        case EngineStatus::Kind::error:
            return "Fehler: " + status.message();
    }
    return "?";
}

// A process ID that no process has: what a killed writer leaves in its temporary file's name.
pid_t deadProcessID() {
    for (pid_t pid = 4'000'000; pid > 1; --pid)
        if (::kill(pid, 0) != 0 && errno == ESRCH)
            return pid;
    return 0;
}

}  // namespace

// What the user sees of the persisted choices.
struct SimulationCampaign::Shown {
    bool isRunning = true;
    std::int64_t videoOffset = 0;
    std::optional<std::string> monitorDeviceUID;
    InputMode inputMode;
    std::vector<DevicePriorityEntry> priority;
    std::optional<std::string> pluginID;
    CameraSelection cameraSelection;
    std::map<std::string, EQSettings> eq;
};

SimulationCampaign::Result SimulationCampaign::run(const Options& options) {
    const bool logsToStderr = LogSinks::stderrEnabled();
    LogSinks::setStderrEnabled(options.traceSteps);
    Result result;
    {
        SimulationCampaign campaign(options);
        try {
            campaign.execute();
            campaign.result_.passed = true;
        } catch (const Failure& failure) {
            campaign.result_.failure = failure.what;
            // The application's last words before it.
            if (campaign.logs_) {
                const auto entries = campaign.logs_->entries();
                const std::size_t from = entries.size() > 12 ? entries.size() - 12 : 0;
                for (std::size_t i = from; i < entries.size(); ++i)
                    campaign.result_.failure += "\n    [" + entries[i].category + "] " + entries[i].message;
            }
        }
        campaign.result_.realTimeCallbacks = RealTimeContext::entered() - campaign.result_.realTimeCallbacks;
        campaign.result_.realTimeLocks = RealTimeViolations::locks();
        campaign.result_.realTimeAllocations = RealTimeViolations::allocations();
        campaign.result_.micSamplesChecked = campaign.stale_.samplesSeen();
        result = std::move(campaign.result_);
    }
    LogSinks::setStderrEnabled(logsToStderr);
    return result;
}

SimulationCampaign::SimulationCampaign(const Options& options)
    : options_(options), random_(options.seed), stale_(kVeluntoMicRingFrames) {
    result_.seed = options.seed;
    result_.traceHash = 1469598103934665603ull ^ options.seed;
    char pattern[] = "/tmp/velunto-campaign-XXXXXX";
    directory_ = ::mkdtemp(pattern);
    ::setenv("XDG_RUNTIME_DIR", directory_.c_str(), 1);  // the camera extension's sockets stay ours
    RealTimeViolations::reset();
    result_.realTimeCallbacks = RealTimeContext::entered();  // the count so far, subtracted at the end
}

SimulationCampaign::~SimulationCampaign() {
    if (time_) {
        if (callApp_) {
            callApp_->stop();
            callApp_.reset();
        }
        if (app_) {
            app_.reset();
            defaults_.reset();
        }
        if (viewer_)
            viewer_->close();
        time_->runUntilIdle();
        if (extensionRunning_)
            CMIOExtensionProvider::stopService();
        extension_.reset();
        time_->runUntilIdle();
        cameras_.reset();
        if (driverLoaded_)
            host_->unloadAll();
        audio_.reset();
        time_->runUntilIdle();
        viewer_.reset();
        host_.reset();
        extensions_.reset();
        logs_.reset();
        time_.reset();
    }
    std::error_code error;
    std::filesystem::remove_all(directory_, error);
}

// The run ---------------------------------------------------------------------------------------------

void SimulationCampaign::execute() {
    time_ = std::make_unique<VirtualTime>();
    logs_ = std::make_unique<LogCapture>();
    extensions_ = std::make_unique<SimulatedSystemExtensions>();
    host_ = std::make_unique<AudioServerPlugInHost>();
    audio_ = std::make_unique<SimulatedAudioHardware>();
    registerSimulatedEffects();
    registerFaultyEffects();

    plugInput(kBuiltInMic);
    audio_->plug(deviceDescription(kSpeakers, 1));
    plugInput(kUSBMic);
    cameras_ = std::make_unique<SimulatedCameraHardware>(campaignCameras());
    for (const auto& camera : kCameras)
        pluggedCameras_.insert(camera);
    extension_ = CameraProviderSource::make();
    CMIOExtensionProvider::startServiceWithProvider(extension_->provider());
    extensionRunning_ = true;
    viewer_ = std::make_unique<CameraViewer>();
    // One run in five starts without the virtual microphone installed.
    driverLoaded_ = random_.below(5) != 0;
    if (driverLoaded_)
        require(host_->load(options_.driverBundle) == 0, "Velunto Mic lässt sich nicht laden");
    note(driverLoaded_ ? "start" : "start ohne Velunto Mic");
    launch();

    const auto end = std::chrono::nanoseconds(options_.duration).count() + VirtualTime::kStartNanoseconds;
    while (HostClock::nowNanoseconds() < static_cast<std::uint64_t>(end)) {
        // A storm of faults and actions, then everything put right and a calm stretch of actions.
        ++result_.storms;
        const auto stormEnd =
            HostClock::nowNanoseconds() + static_cast<std::uint64_t>(random_.between(10, 120)) * 1'000'000'000;
        while (HostClock::nowNanoseconds() < stormEnd) {
            if (random_.chance(0.45))
                fault();
            else
                userAction();
            advance(std::chrono::milliseconds(random_.between(20, 2500)));
            checkAfterStep();
        }
        heal();
        checkRecovered();
        const auto calmEnd =
            HostClock::nowNanoseconds() + static_cast<std::uint64_t>(random_.between(5, 60)) * 1'000'000'000;
        while (HostClock::nowNanoseconds() < calmEnd) {
            userAction();
            advance(std::chrono::milliseconds(random_.between(100, 4000)));
            checkAfterStep();
        }
    }
    quit();
    result_.virtualSeconds = static_cast<double>(HostClock::nowNanoseconds() - VirtualTime::kStartNanoseconds) / 1e9;
}

void SimulationCampaign::require(bool condition, const std::string& what) {
    if (condition)
        return;
    char at[32];
    std::snprintf(at, sizeof at, "%.3f s",
                  static_cast<double>(HostClock::nowNanoseconds() - VirtualTime::kStartNanoseconds) / 1e9);
    const std::string last = result_.trace.empty() ? "" : result_.trace.back();
    throw Failure{std::string(at) + ", nach Schritt " + std::to_string(result_.trace.size()) + " (" + last +
                  "): " + what};
}

void SimulationCampaign::note(const std::string& step) {
    ++result_.steps;
    result_.trace.push_back(step);
    for (unsigned char c : step)
        mix(c);
    if (options_.traceSteps)
        std::printf("[%llu %8.3f] %s\n", static_cast<unsigned long long>(options_.seed),
                    static_cast<double>(HostClock::nowNanoseconds() - VirtualTime::kStartNanoseconds) / 1e9,
                    step.c_str());
}

void SimulationCampaign::mix(std::uint64_t value) {
    result_.traceHash = (result_.traceHash ^ value) * 1099511628211ull;
}

// In slices the call app's memory covers, each one's audio checked. Nothing the campaign does happens
// inside a slice, so an output down at both of its ends, and for a while before, fed nothing during it.
void SimulationCampaign::advance(std::chrono::milliseconds duration) {
    while (duration.count() > 0) {
        const auto slice = std::min<std::chrono::milliseconds>(duration, 2s);
        const auto start = HostClock::nowNanoseconds();
        const bool downBefore = !app_->outputEngine().hasOutputUnit() && feedStoppedSinceNanoseconds_ != 0 &&
                                start - feedStoppedSinceNanoseconds_ >= 200'000'000;
        time_->advance(slice);
        duration -= slice;
        const bool downAfter = !app_->outputEngine().hasOutputUnit();
        if (!downAfter)
            feedStoppedSinceNanoseconds_ = 0;
        else if (feedStoppedSinceNanoseconds_ == 0)
            feedStoppedSinceNanoseconds_ = HostClock::nowNanoseconds();
        checkMicrophone(!(downBefore && downAfter));
    }
    if (logs_->entries().size() > 10000)
        logs_->clear();
}

// Launch, quit, kill ------------------------------------------------------------------------------------

void SimulationCampaign::launch() {
    ++result_.launches;
    defaults_ = UserDefaults::persistent(UserDefaults::standardDomain, directory_);
    app_ = AppState::make(defaults_);
    driverAtLaunch_ = driverLoaded_;
    driverLostSinceLaunch_ = false;
    accessDeniedSinceLaunch_ = accessDenied_;
    feedStoppedSinceNanoseconds_ = 0;
    time_->advance(500ms);
    if (driverLoaded_ && !callApp_)
        startCallApp();
}

std::map<std::string, std::optional<PropertyListValue>> SimulationCampaign::storedSettings() const {
    std::map<std::string, std::optional<PropertyListValue>> stored;
    for (const SettingsKey key : allSettingsKeys)
        stored[rawValue(key)] = defaults_->object(rawValue(key));
    return stored;
}

SimulationCampaign::Shown SimulationCampaign::shown() const {
    Shown s;
    s.isRunning = app_->isRunning.value();
    s.videoOffset = app_->videoOffsetMilliseconds.value();
    s.monitorDeviceUID = app_->monitorDeviceUID.value();
    s.inputMode = app_->settingsStore().loadInputMode();
    s.priority = app_->deviceManager().priorityList.value();
    // A plug-in is stored once it loaded; a failed or unfinished choice leaves the last one stored.
    if (const auto stored = app_->settingsStore().loadPluginComponent())
        s.pluginID = std::to_string(stored->type) + "-" + std::to_string(stored->subType) + "-" +
                     std::to_string(stored->manufacturer);
    s.cameraSelection = app_->cameraEngine().selection.value();
    s.eq = app_->settingsStore().loadEQSettingsByDevice();
    return s;
}

void SimulationCampaign::quit() {
    note("beenden");
    app_->pluginHost().saveState();
    app_->deviceEQ().flushPendingSave();
    time_->runUntilIdle();
    app_.reset();
    defaults_.reset();
    time_->runUntilIdle();
}

void SimulationCampaign::kill(bool midSave) {
    note(midSave ? "Programm mitten im Speichern getötet, neu gestartet" : "Programm getötet, neu gestartet");
    ++result_.faults;
    // Older edits are saved; an equaliser drag younger than the save delay may be lost with the process.
    const Shown before = shown();
    const auto stored = storedSettings();
    const auto now = HostClock::nowNanoseconds();
    const auto eqAtKill = app_->deviceEQ().settings.value();
    const auto eqDevice = app_->deviceEQ().deviceUID.value();
    if (eqDevice) {
        const auto last = lastEQChange_.find(*eqDevice);
        if (last != lastEQChange_.end() && now - last->second > kEQSaveDelay) {
            const auto saved = before.eq.find(*eqDevice);
            require(saved != before.eq.end() && saved->second == eqAtKill,
                    "die Equalizer-Einstellung von " + *eqDevice +
                        " ist 0,6 s nach der letzten Änderung nicht gespeichert");
        }
    }
    // A drag that young may have died with the process; after the relaunch nothing is owed for it.
    std::erase_if(lastEQChange_, [&](const auto& change) { return now - change.second <= kEQSaveDelay; });
    const std::filesystem::path file = defaults_->filePath();
    app_.reset();
    defaults_.reset();
    if (midSave) {
        // What a writer killed between its write and its rename leaves: a piece of a temporary file.
        std::ifstream in(file, std::ios::binary);
        std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        bytes.resize(random_.below(bytes.size() + 1));
        const auto temporary =
            file.string() + ".tmp-" + std::to_string(deadProcessID()) + "-" + std::to_string(random_.between(1, 99));
        std::ofstream(temporary, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    // Nothing the program did after its death counts: reopen the file as the next launch would.
    defaults_ = UserDefaults::persistent(UserDefaults::standardDomain, directory_);
    const auto reread = storedSettings();
    for (const auto& [key, value] : stored)
        require(reread.at(key) == value, "die gespeicherte Einstellung " + key + " ist nach dem Neustart eine andere");
    defaults_.reset();
    launch();
    if (midSave) {
        std::size_t temporaries = 0;
        for (const auto& entry : std::filesystem::directory_iterator(directory_))
            temporaries += entry.path().filename().string().find(".tmp-") != std::string::npos;
        require(temporaries == 0, "die Reste des getöteten Schreibers liegen nach dem Start noch da");
    }
    checkRelaunch(before, false);
}

void SimulationCampaign::damageSettingsFile(const std::filesystem::path& file, CampaignRandom& random) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    in.close();
    if (random.chance(0.5) || bytes.size() < 8) {
        // Cut short: the trailer is gone. Nothing may have been saved since the last damaged file was
        // moved aside; then there is no file, and an empty one is left.
        bytes.resize(bytes.empty() ? 0 : random.below(bytes.size()));
    } else {
        for (std::size_t i = 0; i < 8; ++i)  // the header overwritten
            bytes[i] = static_cast<char>(random.below(256));
        bytes[0] = 'x';
    }
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void SimulationCampaign::corruptSettingsFile() {
    note("Einstellungsdatei zwischen zwei Starts beschädigt");
    ++result_.faults;
    quit();
    damageSettingsFile(directory_ / (std::string(UserDefaults::standardDomain) + ".plist"), random_);
    launch();
    bool movedAside = false;
    for (const auto& entry : std::filesystem::directory_iterator(directory_))
        movedAside = movedAside || entry.path().filename().string().find(".corrupt-") != std::string::npos;
    require(movedAside, "die beschädigte Einstellungsdatei ist nicht beiseitegelegt");
    for (const auto& entry : std::filesystem::directory_iterator(directory_))
        if (entry.path().filename().string().find(".corrupt-") != std::string::npos)
            std::filesystem::remove(entry.path());
    checkRelaunch(Shown{}, true);
    lastEQChange_.clear();
}

void SimulationCampaign::checkRelaunch(const Shown& before, bool expectDefaults) {
    const Shown after = shown();
    require(after.isRunning == before.isRunning, "Pause/Start nach dem Neustart verloren");
    require(after.videoOffset == before.videoOffset, "der Bildversatz nach dem Neustart verloren");
    require(after.monitorDeviceUID == before.monitorDeviceUID, "das Vorhörgerät nach dem Neustart verloren");
    require(after.inputMode == before.inputMode, "der Eingangsmodus nach dem Neustart verloren");
    require(after.priority == before.priority, "die Prioritätenliste nach dem Neustart verloren");
    require(after.cameraSelection == before.cameraSelection, "die Kamerawahl nach dem Neustart verloren");
    require(after.eq == before.eq, "Equalizer-Einstellungen nach dem Neustart verloren");
    if (expectDefaults)
        require(!after.pluginID, "nach einer beschädigten Datei ist noch ein Plug-in gewählt");
    else
        require(after.pluginID == before.pluginID, "die Plug-in-Wahl nach dem Neustart verloren");
    const auto selected = app_->pluginHost().selectedPlugin.value();
    require((selected ? std::optional<std::string>(selected->id()) : std::nullopt) == after.pluginID,
            "nach dem Start ist ein anderes Plug-in gewählt als gespeichert");
}

// Steps ------------------------------------------------------------------------------------------------

void SimulationCampaign::plugInput(const std::string& uid) {
    const auto seed = ++signalSeeds_[uid] + static_cast<std::uint32_t>(std::hash<std::string>{}(uid) % 1000) * 1000;
    audio_->plug(deviceDescription(uid, seed));
    pluggedInputs_.insert(uid);
    killed_.erase(uid);
}

void SimulationCampaign::startCallApp() {
    callApp_ = std::make_unique<SimulatedCallApp>(AppState::kVirtualMicUID);
    require(callApp_->recordToMemory(kCallAppFrames), "ein Anrufprogramm kann Velunto Mic nicht aufnehmen");
    micFramesTaken_ = 0;
    stale_.forget();
}

void SimulationCampaign::stopCallApp() {
    if (!callApp_)
        return;
    checkMicrophone(true);
    callApp_->stop();
    callApp_.reset();
}

void SimulationCampaign::userAction() {
    lastFaultNanoseconds_ = HostClock::nowNanoseconds();  // engines restart after a debounce
    auto& state = *app_;
    switch (random_.weighted({2, 2, 2, 5, 3, 1, 1, 1, 1, 2, 1, 2, 0.4})) {
        case 0:
            note("Pause/Start");
            state.toggleRunning();
            break;
        case 1: {
            const auto which = random_.below(3);
            if (which == 0) {
                note("Eingang: Systemvorgabe");
                state.deviceManager().setMode(InputMode::systemDefault());
            } else if (which == 1) {
                const auto& uid = kInputs[random_.below(kInputs.size())];
                note("Eingang fest: " + uid);
                state.deviceManager().setMode(InputMode::fixed(uid));
            } else {
                note("Eingang nach Prioritätenliste");
                state.deviceManager().setMode(InputMode::priority());
            }
            break;
        }
        case 2: {
            std::vector<DevicePriorityEntry> list;
            for (const auto& uid : kInputs)
                if (random_.chance(0.6))
                    list.push_back({uid, deviceDescription(uid, 0).name});
            for (std::size_t i = list.size(); i > 1; --i)
                std::swap(list[i - 1], list[random_.below(i)]);
            std::string names;
            for (const auto& entry : list)
                names += entry.uid + " ";
            note("Prioritätenliste: " + names);
            state.deviceManager().setPriorityList(list);
            break;
        }
        case 3:
            dragEQ();
            break;
        case 4:
            choosePlugin();
            break;
        case 5:
            note("Bypass umschalten");
            state.pluginHost().setBypassed(!state.pluginHost().isBypassed.value());
            break;
        case 6:
            startMeasurement();
            break;
        case 7: {
            const auto which = random_.below(4);
            const CameraSelection selection = which == 0   ? CameraSelection::automatic()
                                              : which == 1 ? CameraSelection::none()
                                                           : CameraSelection::device(kCameras[which - 2]);
            note("Kamera: " + selection.toJSON().dump());
            state.cameraEngine().setSelection(selection);
            break;
        }
        case 8:
            if (viewer_->isOpen()) {
                note("Videoprogramm schließt Velunto Kamera");
                viewer_->close();
            } else if (extensionRunning_) {
                note("Videoprogramm öffnet Velunto Kamera");
                viewer_->open("Velunto Kamera", random_.below(2));
            }
            break;
        case 9: {
            const bool on = !state.isMonitoring.value();
            note(on ? "Vorhören an" : "Vorhören aus");
            state.setMonitoring(on);
            break;
        }
        case 10: {
            const auto devices = state.monitorDevices.value();
            if (devices.empty() || random_.chance(0.2)) {
                note("Vorhörgerät: Systemvorgabe");
                state.setMonitorDeviceUID(std::nullopt);
            } else {
                const auto& uid = devices[random_.below(devices.size())].uid;
                note("Vorhörgerät: " + uid);
                state.setMonitorDeviceUID(uid);
            }
            break;
        }
        case 11: {
            const auto offset = random_.between(-400, 400);
            note("Bildversatz " + std::to_string(offset) + " ms");
            state.setVideoOffsetMilliseconds(offset);
            break;
        }
        default: {
            // An orderly quit saves everything; the next launch shows it all again.
            state.pluginHost().saveState();
            state.deviceEQ().flushPendingSave();
            time_->runUntilIdle();
            const Shown before = shown();
            quit();
            note("neu gestartet");
            launch();
            checkRelaunch(before, false);
            break;
        }
    }
}

void SimulationCampaign::dragEQ() {
    auto& eq = app_->deviceEQ();
    EQSettings settings = eq.settings.value();
    if (random_.chance(0.1)) {
        settings.isEnabled = !settings.isEnabled;
        note(std::string("Equalizer ") + (settings.isEnabled ? "an" : "aus"));
    } else if (!settings.bands.empty()) {
        const auto band = random_.below(settings.bands.size());
        settings.bands[band].gain = static_cast<double>(random_.between(-120, 120)) / 10.0;
        settings.bands[band].frequency =
            std::clamp(settings.bands[band].frequency * (0.8 + 0.4 * random_.unit()), 20.0, 20000.0);
        note("Equalizer Band " + std::to_string(band) + " auf " + std::to_string(settings.bands[band].gain) + " dB");
    }
    eq.setSettings(settings);
    if (const auto uid = eq.deviceUID.value())
        lastEQChange_[*uid] = HostClock::nowNanoseconds();
}

void SimulationCampaign::choosePlugin() {
    auto& host = app_->pluginHost();
    const auto plugins = host.availablePlugins.value();
    if (plugins.empty() || random_.chance(0.15)) {
        note("kein Plug-in");
        host.selectPlugin(std::nullopt);
        return;
    }
    const auto& plugin = plugins[random_.below(plugins.size())];
    note("Plug-in: " + plugin.name);
    host.selectPlugin(plugin);
}

void SimulationCampaign::startMeasurement() {
    auto& state = *app_;
    const auto unit = state.pluginHost().loadedUnit.value();
    if (!unit || state.latencyMeter().isBusy())
        return;
    note("Latenz messen");
    const std::string key = LatencyMeter::measurementKey(unit->audioComponentDescription());
    state.latencyMeter().measure(state.captureEngine(), unit,
                                 [weak = state.weak_from_this(), key](const PluginLatencyMeasurement& measurement) {
                                     if (auto self = weak.lock())
                                         self->setMeasurement(key, measurement);
                                 });
}

void SimulationCampaign::fault() {
    ++result_.faults;
    lastFaultNanoseconds_ = HostClock::nowNanoseconds();
    switch (random_.weighted({3, 3, 1.5, 1.5, 1.5, 1.5, 1, 1, 0.8, 0.8, 0.5, 0.4, 0.4, 0.2})) {
        case 0: {  // unplug an input
            if (pluggedInputs_.empty())
                return;
            auto it = pluggedInputs_.begin();
            std::advance(it, static_cast<std::ptrdiff_t>(random_.below(pluggedInputs_.size())));
            const std::string uid = *it;
            note("abgezogen: " + uid);
            audio_->unplug(uid);
            pluggedInputs_.erase(uid);
            killed_.erase(uid);
            break;
        }
        case 1: {  // plug one in
            std::vector<std::string> absent;
            for (const auto& uid : kInputs)
                if (!pluggedInputs_.contains(uid))
                    absent.push_back(uid);
            if (absent.empty())
                return;
            const auto& uid = absent[random_.below(absent.size())];
            note("eingesteckt: " + uid);
            plugInput(uid);
            break;
        }
        case 2: {  // a device dies in place
            std::vector<std::string> alive;
            for (const auto& uid : pluggedInputs_)
                if (!killed_.contains(uid))
                    alive.push_back(uid);
            if (alive.empty())
                return;
            const auto& uid = alive[random_.below(alive.size())];
            note("Gerät stirbt: " + uid);
            audio_->kill(uid);
            killed_.insert(uid);
            break;
        }
        case 3:
            if (pluggedInputs_.contains(kUSBMic) && !killed_.contains(kUSBMic)) {
                const double rate = random_.chance(0.5) ? 44100 : 48000;
                note("USB-Mikrofon auf " + std::to_string(static_cast<int>(rate)) + " Hz");
                audio_->setNominalSampleRate(kUSBMic, rate);
            }
            break;
        case 4: {
            if (pluggedInputs_.empty())
                return;
            auto it = pluggedInputs_.begin();
            std::advance(it, static_cast<std::ptrdiff_t>(random_.below(pluggedInputs_.size())));
            note("Standardeingang: " + *it);
            audio_->setDefaultInput(*it);
            break;
        }
        case 5: {
            const std::string uid = pluggedInputs_.contains(kHeadset) && random_.chance(0.5) ? kHeadset : kSpeakers;
            note("Standardausgang: " + uid);
            audio_->setDefaultOutput(uid);
            break;
        }
        case 6: {  // a plug-in that fails or hangs
            const bool hangs = random_.chance(0.5);
            note(hangs ? "Plug-in lädt hängend" : "Plug-in lädt nicht");
            for (const auto& plugin : app_->pluginHost().availablePlugins.value())
                if (plugin.componentDescription.componentSubType == (hangs ? kHangingSubType : kBrokenSubType))
                    app_->pluginHost().selectPlugin(plugin);
            break;
        }
        case 7: {  // a camera unplugged or back
            const auto& camera = kCameras[random_.below(kCameras.size())];
            if (pluggedCameras_.contains(camera)) {
                note("Kamera abgezogen: " + camera);
                cameras_->unplug(camera);
                pluggedCameras_.erase(camera);
            } else {
                note("Kamera eingesteckt: " + camera);
                for (const auto& description : campaignCameras())
                    if (description.uniqueID == camera)
                        cameras_->plug(description);
                pluggedCameras_.insert(camera);
            }
            break;
        }
        case 8:
            note(accessDenied_ ? "Kamerazugriff erlaubt" : "Kamerazugriff entzogen");
            accessDenied_ = !accessDenied_;
            accessDeniedSinceLaunch_ = accessDeniedSinceLaunch_ || accessDenied_;
            cameras_->setAuthorizationStatus(accessDenied_ ? AVAuthorizationStatus::denied
                                                           : AVAuthorizationStatus::authorized);
            break;
        case 9:
            if (extensionRunning_) {
                note("Kameraerweiterung getötet");
                viewer_->close();
                CMIOExtensionProvider::stopService();
                extension_.reset();
                extensionRunning_ = false;
            } else {
                note("Kameraerweiterung neu gestartet");
                extension_ = CameraProviderSource::make();
                CMIOExtensionProvider::startServiceWithProvider(extension_->provider());
                extensionRunning_ = true;
            }
            break;
        case 10:
            kill(false);
            break;
        case 11:
            kill(true);
            break;
        case 12:
            if (driverLoaded_) {
                note("Velunto Mic entfernt");
                stopCallApp();
                host_->unloadAll();
                driverLoaded_ = false;
                driverLostSinceLaunch_ = true;
            } else {
                note("Velunto Mic installiert");
                require(host_->load(options_.driverBundle) == 0, "Velunto Mic lässt sich nicht laden");
                driverLoaded_ = true;
                startCallApp();
            }
            break;
        default:
            corruptSettingsFile();
            break;
    }
}

void SimulationCampaign::heal() {
    note("alles wieder in Ordnung");
    for (const auto& uid : std::set<std::string>(killed_)) {
        audio_->unplug(uid);
        pluggedInputs_.erase(uid);
    }
    killed_.clear();
    for (const auto& uid : kInputs)
        if (!pluggedInputs_.contains(uid))
            plugInput(uid);
    // With every microphone gone the system falls back to Velunto Mic, which is no input by design.
    audio_->setDefaultInput(kBuiltInMic);
    for (const auto& description : campaignCameras())
        if (!pluggedCameras_.contains(description.uniqueID)) {
            cameras_->plug(description);
            pluggedCameras_.insert(description.uniqueID);
        }
    if (accessDenied_) {
        cameras_->setAuthorizationStatus(AVAuthorizationStatus::authorized);
        accessDenied_ = false;
    }
    if (!extensionRunning_) {
        extension_ = CameraProviderSource::make();
        CMIOExtensionProvider::startServiceWithProvider(extension_->provider());
        extensionRunning_ = true;
    }
    if (!driverLoaded_) {
        require(host_->load(options_.driverBundle) == 0, "Velunto Mic lässt sich nicht laden");
        driverLoaded_ = true;
    }
    // A plug-in that cannot load is replaced by none; a hanging one finishes on its own.
    if (const auto plugin = app_->pluginHost().selectedPlugin.value();
        plugin && plugin->componentDescription.componentSubType == kBrokenSubType)
        app_->pluginHost().selectPlugin(std::nullopt);
    // The feed device appears only to a program started after it, and camera access given back only to one
    // started after that (the system tells a running program nothing).
    if (!driverAtLaunch_ || driverLostSinceLaunch_ || accessDeniedSinceLaunch_) {
        quit();
        note("neu gestartet");
        launch();
    }
    if (!callApp_)
        startCallApp();
    if (!app_->isRunning.value()) {
        note("Start");
        app_->toggleRunning();
    }
    lastFaultNanoseconds_ = HostClock::nowNanoseconds();
    advance(kHang + 1s);  // a hanging plug-in load has ended
}

// Checks -----------------------------------------------------------------------------------------------

void SimulationCampaign::checkRealTime() {
    require(RealTimeViolations::locks() == 0,
            std::to_string(RealTimeViolations::locks()) + " Sperren in Echtzeit-Rückrufen");
    require(RealTimeViolations::allocations() == 0,
            std::to_string(RealTimeViolations::allocations()) + " Speicheranforderungen in Echtzeit-Rückrufen");
}

void SimulationCampaign::checkMicrophone(bool fed) {
    if (!callApp_)
        return;
    const auto total = callApp_->framesRecorded();
    const auto fresh = total - micFramesTaken_;
    require(fresh <= kCallAppFrames, "das Anrufprogramm hat mehr aufgenommen, als die Prüfung sieht");
    if (fresh == 0)
        return;
    const auto recording = callApp_->recording();
    const auto channels = callApp_->channels();
    const auto frames = recording.size() / channels;
    std::vector<float> left(fresh);
    for (std::uint64_t i = 0; i < fresh; ++i) {
        const std::size_t frame = frames - fresh + i;
        left[i] = recording[frame * channels];
        require(channels < 2 || recording[frame * channels + 1] == left[i], "die Kanäle von Velunto Mic weichen ab");
    }
    micFramesTaken_ = total;
    const auto stale = stale_.add(left.data(), left.size(), fed);
    require(!stale, "Velunto Mic liefert alten Ton: " + stale.value_or(""));
}

void SimulationCampaign::checkAfterStep() {
    checkRealTime();
    auto& state = *app_;
    time_->runUntilIdle();
    const auto now = HostClock::nowNanoseconds();
    const auto capture = state.captureStatus.value();
    const auto output = state.outputStatus.value();
    mix(static_cast<std::uint64_t>(capture.kind()) * 4 + static_cast<std::uint64_t>(output.kind()));

    // Pause means both engines stopped.
    if (!state.isRunning.value()) {
        require(capture == EngineStatus::stopped(), "pausiert, aber die Aufnahme ist " + describe(capture));
        require(output == EngineStatus::stopped(), "pausiert, aber die Ausgabe ist " + describe(output));
    }
    // The missing output is what the launch found.
    require(state.outputDeviceMissing.value() == !driverAtLaunch_,
            "„Ausgabe fehlt“ stimmt nicht mit dem Start überein");

    // Statuses match the hardware once its notifications and the engines' debounce had time to pass.
    const bool settled = now - lastFaultNanoseconds_ > 300'000'000;
    const auto resolved = state.deviceManager().resolvedDeviceUID.value();
    if (settled) {
        if (output == EngineStatus::running())
            require(driverLoaded_, "die Ausgabe läuft ohne Velunto Mic");
        if (capture == EngineStatus::running()) {
            require(resolved.has_value(), "die Aufnahme läuft ohne Eingangsgerät");
            require(pluggedInputs_.contains(*resolved) && !killed_.contains(*resolved),
                    "die Aufnahme läuft auf " + *resolved + ", das es nicht gibt oder das tot ist");
        }
        if (resolved)
            require(pluggedInputs_.contains(*resolved),
                    "der gewählte Eingang " + *resolved + " ist nicht angeschlossen");
    }

    // The equaliser belongs to the device in use and is what that device's settings say.
    auto& eq = state.deviceEQ();
    require(eq.deviceUID.value() == resolved,
            "der Equalizer gehört zu " + describe(eq.deviceUID.value()) + ", der Eingang ist " + describe(resolved));
    const EQSettings& settings = eq.settings.value();
    auto& node = *eq.node();
    require(node.bypass() == !settings.isEnabled, "der Equalizer ist anders an/aus als eingestellt");
    for (std::size_t i = 0; i < settings.bands.size() && i < node.bands().size(); ++i)
        if (settings.bands[i].type == EQBandType::bell)
            require(std::abs(node.bands()[i].gain() - static_cast<float>(settings.bands[i].gain)) < 1e-3f,
                    "Band " + std::to_string(i) + " des Equalizers hat nicht die eingestellte Verstärkung");

    // The picture waits for the voice: latency plus offset, never below 0.
    const double expected = std::max(0.0, state.latencyMilliseconds.value().value_or(0.0) +
                                              static_cast<double>(state.videoOffsetMilliseconds.value()));
    require(state.videoDelayMilliseconds() >= 0, "negative Bildverzögerung");
    require(std::abs(state.videoDelayMilliseconds() - expected) < 1e-6,
            "die Bildverzögerung ist nicht Latenz plus Versatz");
    require(std::llabs(static_cast<long long>(state.cameraEngine().delayNanoseconds()) -
                       static_cast<long long>(expected * 1e6)) <= 1,
            "die Kamera verzögert um " + std::to_string(state.cameraEngine().delayNanoseconds() / 1e6) + " ms statt " +
                std::to_string(expected) + " ms");

    checkMicrophone(true);
}

void SimulationCampaign::checkRecovered() {
    advance(5s);
    checkAfterStep();
    auto& state = *app_;
    require(state.isRunning.value(), "nach der Heilung pausiert");
    require(state.overallStatus() == EngineStatus::running(),
            "5 s nach dem letzten Fehler läuft die Kette nicht: Aufnahme " + describe(state.captureStatus.value()) +
                ", Ausgabe " + describe(state.outputStatus.value()) + ", Eingang " +
                describe(state.deviceManager().resolvedDeviceUID.value()) + " von " +
                std::to_string(state.deviceManager().availableInputDevices.value().size()));
    require(state.deviceManager().resolvedDeviceUID.value().has_value(), "nach der Heilung kein Eingang");
    // No backlog is left in front of Velunto Mic: the band, a callback and an input block at most.
    const auto backlog = RingBufferAvailableToRead(state.ringBuffer());
    require(backlog <= 4096,
            "5 s nach dem letzten Fehler stehen " + std::to_string(backlog) + " Samples vor Velunto Mic");
    // Somebody watching with a camera chosen and allowed: the camera runs.
    if (viewer_->isOpen() && state.cameraEngine().selection.value() != CameraSelection::none())
        require(state.cameraEngine().isCapturing.value(), "die Kamera läuft nicht, obwohl jemand zusieht");
    note("erholt");
}

}  // namespace velunto
