// The demo: the tray application, in real time, on simulated hardware with the virtual microphone
// installed. A built-in microphone at 44.1 kHz speaks with a click every two seconds, and the built-in
// camera flashes at the same instants; the delay effect and an equaliser curve are chosen; a call app
// records "Velunto Mic" and a video app (velunto-camera-viewer, its own process) watches "Velunto
// Kamera". Afterwards it reports how late the clicks arrived against the latency the application
// shows, and how flash and click line up.
//
//   velunto-demo [--seconds N] [--out DIR] [--driver BUNDLE] [--stalls FILE]
//
// Writes velunto-mic.wav, velunto-kamera-*.png, velunto.log and report.json into DIR.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sndfile.h>
#include <QApplication>
#include <QPixmap>
#include <QWidget>

#include <nlohmann/json.hpp>

#include "app/audio/AppState.h"
#include "app/camera/CameraExtensionActivator.h"
#include "app/ui/LatencyMeterModel.h"
#include "app/ui/VeluntoApp.h"
#include "demo/DemoReport.h"
#include "demo/DemoSignal.h"
#include "platform/appkit/NSApplication.h"
#include "platform/coreaudio/AudioServerPlugInHost.h"
#include "platform/dispatch/HostClock.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/oslog/LogSinks.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "platform/sim/SimulatedCallApp.h"
#include "platform/sim/SimulatedCameraHardware.h"
#include "platform/sim/SimulatedEffects.h"
#include "platform/systemextensions/OSSystemExtensionManager.h"
#include "platform/systemextensions/OSSystemExtensionRequestDelegate.h"

using namespace velunto;
namespace fs = std::filesystem;

extern char** environ;

namespace {

constexpr const char* kMicUID = "sim.builtin.mic";
constexpr const char* kCameraID = "builtin";
constexpr double kMicRate = 44100;
constexpr UInt32 kMicLatency = 96;
constexpr UInt32 kMicSafetyOffset = 32;
constexpr std::size_t kMaxListedTimes = 500;         // times listed in the report, per kind
constexpr std::uint64_t kStallMargin = 100'000'000;  // a stall and what it caused, at most this far apart

struct Options {
    double seconds = 20;
    fs::path out = "demo-out";
    std::optional<fs::path> driver;
    std::optional<double> idle;      // seconds before the video app opens the camera
    std::optional<fs::path> stalls;  // what velunto-stall-probe wrote beside the run
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (i + 1 >= argc)
            return std::nullopt;
        const std::string value = argv[++i];
        if (argument == "--seconds")
            options.seconds = std::atof(value.c_str());
        else if (argument == "--out")
            options.out = value;
        else if (argument == "--driver")
            options.driver = value;
        else if (argument == "--idle")
            options.idle = std::atof(value.c_str());
        else if (argument == "--stalls")
            options.stalls = value;
        else
            return std::nullopt;
    }
    if (!(options.seconds >= 4) || options.seconds > 3600)
        return std::nullopt;
    if (options.idle && !(*options.idle >= 2 && *options.idle <= options.seconds - 2))
        return std::nullopt;
    return options;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// VmRSS and VmHWM of this process, in MB.
std::pair<double, double> residentMegabytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    double rss = 0, peak = 0;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            rss = std::atof(line.c_str() + 6) / 1024;
        else if (line.rfind("VmHWM:", 0) == 0)
            peak = std::atof(line.c_str() + 6) / 1024;
    }
    return {rss, peak};
}

// The voice with a noticeable curve: the rumble cut, some boxiness taken out, presence and air added.
EQSettings demoEQ() {
    EQSettings eq = defaultEQSettings();
    eq.bands[0] = {true, EQBandType::lowCut, 100, 0, 0.7};
    eq.bands[1] = {true, EQBandType::bell, 300, -4, 1.2};
    eq.bands[3] = {true, EQBandType::bell, 3500, 5, 0.9};
    eq.bands[4] = {true, EQBandType::highShelf, 10000, 3, 0.7};
    return eq;
}

// A child process with its output in a file.
std::optional<pid_t> spawn(const fs::path& program, const std::vector<std::string>& arguments, const fs::path& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed ? std::nullopt : std::optional(pid);
}

// Waits up to `limit` for the child; kills it after that. Its exit status, or -1.
int reap(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Ends the camera extension's supervision and stops it, as uninstalling would.
class ExtensionStopper : public OSSystemExtensionRequestDelegate {
public:
    bool stop(std::chrono::seconds limit) {
        auto request = OSSystemExtensionRequest::deactivationRequestForExtension(
            CameraExtensionActivator::kExtensionIdentifier, DispatchQueue("app.velunto.demo.extension"));
        request->setDelegate(self_);
        OSSystemExtensionManager::sharedManager().submitRequest(request);
        return done_.get_future().wait_for(limit) == std::future_status::ready;
    }
    void holdSelf(const std::shared_ptr<ExtensionStopper>& self) { self_ = self; }

    OSSystemExtensionReplacementAction actionForReplacingExtension(OSSystemExtensionRequest&,
                                                                   const OSSystemExtensionProperties&,
                                                                   const OSSystemExtensionProperties&) override {
        return OSSystemExtensionReplacementActionCancel;
    }
    void requestNeedsUserApproval(OSSystemExtensionRequest&) override {}
    void didFinishWithResult(OSSystemExtensionRequest&, OSSystemExtensionRequestResult) override { finish(); }
    void didFailWithError(OSSystemExtensionRequest&, const NSError&) override { finish(); }

private:
    void finish() {
        if (!finished_.exchange(true))
            done_.set_value();
    }
    std::weak_ptr<ExtensionStopper> self_;
    std::promise<void> done_;
    std::atomic<bool> finished_{false};
};

std::vector<float> readMono(const fs::path& path, double& sampleRate) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file)
        return {};
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames) * static_cast<std::size_t>(info.channels));
    sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    sampleRate = info.samplerate;
    std::vector<float> mono(static_cast<std::size_t>(info.frames));
    for (std::size_t i = 0; i < mono.size(); ++i)
        mono[i] = interleaved[i * static_cast<std::size_t>(info.channels)];
    return mono;
}

nlohmann::ordered_json orNull(const std::optional<double>& value) {
    return value ? nlohmann::ordered_json(std::round(*value * 100) / 100) : nlohmann::ordered_json(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t launched = HostClock::nowNanoseconds();
    const auto options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "Aufruf: velunto-demo [--seconds N (4 bis 3600)] [--idle N] [--out ORDNER] [--driver BUNDLE] "
                     "[--stalls DATEI]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::error_code error;
    fs::create_directories(options->out, error);
    const fs::path out = fs::absolute(options->out);
    if (!std::ofstream(out / "report.json", std::ios::app)) {
        std::fprintf(stderr, "Der Ausgabeordner %s ist nicht beschreibbar.\n", out.c_str());
        return 1;
    }
    const fs::path self = fs::read_symlink("/proc/self/exe").parent_path();

    // The demo keeps to its own settings, runtime folder and log; the user's stay untouched.
    char workTemplate[] = "/tmp/velunto-demo-XXXXXX";
    if (!mkdtemp(workTemplate)) {
        std::fprintf(stderr, "Kein temporärer Ordner: %s\n", std::strerror(errno));
        return 1;
    }
    const fs::path work = workTemplate;
    struct RemoveOnExit {
        fs::path path;
        ~RemoveOnExit() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } removeWork{work};
    fs::create_directories(work / "config");
    fs::create_directories(work / "runtime");
    fs::permissions(work / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    setenv("XDG_CONFIG_HOME", (work / "config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (work / "runtime").c_str(), 1);
    setenv("VELUNTO_HARDWARE", "simulated", 1);  // also for the camera extension: no v4l2loopback output
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (const char* platform = std::getenv("QT_QPA_PLATFORM"); platform && std::strcmp(platform, "offscreen") == 0)
        setenv("QT_LOGGING_RULES", "qt.core.qobject.connect=false", 0);  // no tray there, and Qt says so
    LogSinks::setStderrEnabled(false);
    LogSinks::setFile(out / "velunto.log");

    const fs::path voice = work / "stimme.wav";
    if (!DemoSignal::writeWAV(voice, kMicRate)) {
        std::fprintf(stderr, "%s kann nicht geschrieben werden.\n", voice.c_str());
        return 1;
    }
    SimulatedDeviceDescription mic;
    mic.name = "Eingebautes Mikrofon";
    mic.uid = kMicUID;
    mic.inputChannels = 1;
    mic.nominalSampleRate = kMicRate;
    mic.inputLatency = kMicLatency;
    mic.inputSafetyOffset = kMicSafetyOffset;
    mic.driftPPM = 12;
    mic.signal = SimulatedSignal::wav(voice);
    SimulatedDeviceDescription speakers;
    speakers.name = "Eingebaute Lautsprecher";
    speakers.uid = "sim.builtin.speakers";
    speakers.outputChannels = 2;
    speakers.outputLatency = 128;
    speakers.outputSafetyOffset = 32;
    speakers.driftPPM = 12;
    SimulatedAudioHardware hardware({mic, speakers});
    SimulatedCameraHardware cameras;
    registerSimulatedEffects();
    const bool driverLoaded = options->driver ? AudioServerPlugInHost::shared().load(*options->driver) == 0
                                              : AudioServerPlugInHost::shared().loadInstalledDrivers() > 0;
    if (!driverLoaded) {
        std::fprintf(
            stderr, "Velunto Mic ist nicht installiert (%s).\n",
            options->driver ? options->driver->c_str() : AudioServerPlugInHost::installedDriversDirectory().c_str());
        return 1;
    }

    // A returning user's choices: the delay effect, and an equaliser curve for the microphone.
    {
        SettingsStore store(UserDefaults::standard());
        store.savePluginComponent(
            StoredPluginComponent{kAudioUnitType_Effect, kSimulatedDelaySubType, kSimulatedEffectManufacturer});
        store.saveEQSettingsByDevice({{kMicUID, demoEQ()}});
        store.saveDevicePriority({{"sim.usb.headset", "USB-Headset"}, {kMicUID, "Eingebautes Mikrofon"}});
    }

    auto callApp = std::make_unique<SimulatedCallApp>(AppState::kVirtualMicUID);
    if (!callApp->recordToWAV(out / "velunto-mic.wav")) {
        std::fprintf(stderr, "Velunto Mic lässt sich nicht aufnehmen.\n");
        return 1;
    }

    // The camera flashes when the click reaches the microphone: the click's sample time, less the
    // microphone's latency, on the microphone's clock.
    std::vector<std::uint64_t> emitted;
    std::atomic<bool> flashing{true};
    const AudioDeviceTimeline micTimeline = *hardware.timeline(kMicUID);
    std::thread flasher([&] {
        for (std::uint64_t k = 1; flashing; ++k) {
            const double sample = static_cast<double>(k) * DemoSignal::kPeriodSeconds * kMicRate - kMicLatency;
            const std::uint64_t at = micTimeline.hostTimeAt(sample);
            while (flashing && HostClock::nowNanoseconds() < at)
                std::this_thread::sleep_for(
                    std::chrono::nanoseconds(std::min<std::uint64_t>(at - HostClock::nowNanoseconds(), 5'000'000)));
            if (!flashing)
                break;
            cameras.flash(kCameraID);
            emitted.push_back(at);
        }
    });

    auto app = std::make_unique<VeluntoApp>(1, argv);
    AppState* const state = app->appState().get();

    // The first part runs with nobody watching the camera; then the video app opens it.
    const double idleSeconds = options->idle.value_or(std::max(2.0, std::round(options->seconds * 0.3)));
    const int watchSeconds = static_cast<int>(options->seconds - idleSeconds) - 1;
    std::optional<pid_t> viewer;
    double cpuIdle = 0, cpuRunning = 0;
    double cpuMark = 0;
    std::uint64_t hostMark = 0;
    const auto markCPU = [&] {
        cpuMark = cpuSeconds();
        hostMark = HostClock::nowNanoseconds();
    };
    const auto cpuSinceMark = [&] {
        return (cpuSeconds() - cpuMark) / (static_cast<double>(HostClock::nowNanoseconds() - hostMark) / 1e9) * 100;
    };
    nlohmann::ordered_json shown;
    const auto after = [](double seconds, std::function<void()> block) {
        DispatchQueue::main().asyncAfter(
            DispatchTime::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000)), std::move(block));
    };
    after(1.0, markCPU);
    // The live spectrum, for the pictures at the end, and a measurement of the plug-in's latency.
    after(0.5, [state] { state->spectrumAnalyzer().addClient(); });
    const auto meter = std::make_shared<LatencyMeterModel>(*state);
    after(1.5, [meter] { meter->startMeasurement(); });
    after(idleSeconds, [&] {
        cpuIdle = cpuSinceMark();
        viewer = spawn(
            self / "velunto-camera-viewer",
            {"--seconds", std::to_string(watchSeconds), "--flashes", (work / "blitze.txt").string(), "--flash-png",
             (out / "velunto-kamera-blitz.png").string(), "--summary", (work / "betrachter.json").string(), "--png",
             (out / "velunto-kamera-1.png").string(), "--png-at", "1.5", "--png",
             (out / "velunto-kamera-2.png").string(), "--png-at", std::to_string(watchSeconds / 2.0 + 0.25)},
            out / "velunto-camera-viewer.log");
    });
    after(idleSeconds + 1.5, markCPU);
    // When the output ran short, to set beside the recording's dropouts.
    const auto secondsSinceLaunch = [launched](std::uint64_t hostNanoseconds) {
        return std::round((static_cast<double>(hostNanoseconds) - static_cast<double>(launched)) / 1e7) / 100;
    };
    std::vector<std::uint64_t> underrunTimes;
    std::uint64_t underrunsSeen = 0;
    bool watchingUnderruns = true;
    std::function<void()> watchUnderruns = [&] {
        if (!watchingUnderruns)
            return;
        const auto count = state->outputEngine().renderContext().underruns.load(std::memory_order_relaxed);
        if (count != underrunsSeen)
            underrunTimes.push_back(HostClock::nowNanoseconds());
        underrunsSeen = count;
        after(0.02, watchUnderruns);
    };
    after(0.02, watchUnderruns);
    after(options->seconds, [&] {
        cpuRunning = cpuSinceMark();
        const auto uid = state->deviceManager().resolvedDeviceUID.value();
        std::string inputName = uid.value_or("");
        for (const auto& device : state->deviceManager().availableInputDevices.value())
            if (uid && device.uid == *uid)
                inputName = device.name;
        const auto plugin = state->pluginHost().selectedPlugin.value();
        shown["latency"] = state->latencyMilliseconds.value()
                               ? nlohmann::ordered_json(*state->latencyMilliseconds.value())
                               : nlohmann::ordered_json(nullptr);
        shown["videoDelay"] = state->videoDelayMilliseconds();
        shown["videoOffset"] = state->videoOffsetMilliseconds.value();
        shown["input"] = inputName;
        shown["plugin"] = plugin ? plugin->name : "";
        shown["loaded"] = state->pluginHost().loadedUnit.value() != nullptr;
        shown["running"] = state->overallStatus() == EngineStatus::running();
        shown["eq"] = state->deviceEQ().settings.value().toJSON();
        const OutputRenderContext& render = state->outputEngine().renderContext();
        shown["underruns"] = render.underruns.load(std::memory_order_relaxed);
        shown["dropped"] = render.droppedSamples.load(std::memory_order_relaxed);
        shown["repeated"] = render.repeatedSamples.load(std::memory_order_relaxed);
        shown["catch_ups"] = render.catchUps.load(std::memory_order_relaxed);
        shown["skipped"] = render.skippedSamples.load(std::memory_order_relaxed);
        // Laid out and painted as on screen, without appearing there.
        const auto savePicture = [&](QWidget& widget, const char* name) {
            widget.setAttribute(Qt::WA_DontShowOnScreen);
            widget.show();
            widget.adjustSize();
            QApplication::processEvents();
            const bool written = widget.grab().save(QString::fromStdString((out / name).string()));
            widget.hide();
            return written;
        };
        bool saved = savePicture(app->panel(), "panel.png");
        for (const auto& [window, name] : {std::pair{AppState::AuxiliaryWindow::eq, "eq.png"},
                                           std::pair{AppState::AuxiliaryWindow::priorityList, "priority.png"},
                                           std::pair{AppState::AuxiliaryWindow::latencyMeter, "latency.png"}})
            saved = savePicture(*VeluntoApp::makeWindowContent(*state, window), name) && saved;
        shown["picturesSaved"] = saved;
        watchingUnderruns = false;
        NSApplication::shared().terminate();
    });
    app->run();
    const auto [rss, rssPeak] = residentMegabytes();
    app.reset();

    flashing = false;
    flasher.join();
    const int viewerStatus = viewer ? reap(*viewer, std::chrono::seconds(5)) : -1;
    // Recording positions become host times through the call app's cycle stamps: after a stall the
    // device skips the missed cycles, and the recording resumes later than its length says.
    const RecordingTimeline heardTimeline = callApp->timeline();
    const double heardRate = callApp->sampleRate();
    callApp.reset();  // closes the WAV file
    auto stopper = std::make_shared<ExtensionStopper>();
    stopper->holdSelf(stopper);
    const bool extensionStopped = stopper->stop(std::chrono::seconds(5));

    double rate = heardRate;
    const std::vector<float> recorded = readMono(out / "velunto-mic.wav", rate);
    std::vector<std::uint64_t> heard;
    for (const std::size_t click : DemoReport::findClicks(recorded, rate))
        heard.push_back(heardTimeline.hostTime(click));
    std::optional<double> firstAudioMs;
    for (std::size_t i = 0; i < recorded.size(); ++i)
        if (recorded[i] != 0.0f) {
            firstAudioMs = (static_cast<double>(heardTimeline.hostTime(i)) - static_cast<double>(launched)) / 1e6;
            break;
        }
    // Half a millisecond of exact zeros: the demo's signal never holds still that long.
    const auto dropouts = DemoReport::findDropouts(recorded, static_cast<std::size_t>(rate / 2000));
    std::vector<std::uint64_t> dropoutTimes;
    for (const auto& dropout : dropouts)
        dropoutTimes.push_back(heardTimeline.hostTime(dropout.start));
    const auto listedSeconds = [&](const std::vector<std::uint64_t>& times) {
        std::vector<double> seconds;
        for (std::size_t i = 0; i < std::min(times.size(), kMaxListedTimes); ++i)
            seconds.push_back(secondsSinceLaunch(times[i]));
        return seconds;
    };
    const auto flashes = DemoReport::readFlashes(work / "blitze.txt");
    const auto timing = DemoReport::pair(emitted, heard, flashes);
    nlohmann::json viewerSummary;
    std::ifstream(work / "betrachter.json") >> viewerSummary;

    nlohmann::ordered_json report;
    report["latency_ms_computed"] =
        shown["latency"].is_number() ? orNull(shown["latency"].get<double>()) : nlohmann::ordered_json(nullptr);
    report["latency_ms_measured"] = orNull(DemoReport::median(timing.latenciesMs));
    report["video_delay_ms"] = orNull(shown["videoDelay"].get<double>());
    report["av_offset_ms"] = orNull(DemoReport::median(timing.avOffsetsMs));
    report["frames_received"] = viewerSummary.value("frames", 0);
    report["audio_seconds"] = std::round(static_cast<double>(recorded.size()) / rate * 100) / 100;
    report["input_device"] = shown["input"];
    report["plugin"] = shown["plugin"];
    report["video_offset_ms"] = shown["videoOffset"];
    report["pipeline_running"] = shown["running"];
    report["clicks_emitted"] = emitted.size();
    report["clicks_heard"] = timing.latenciesMs.size();
    report["flashes_seen"] = timing.videoDelaysMs.size();
    report["av_offsets_ms"] = timing.avOffsetsMs;
    report["latencies_ms"] = timing.latenciesMs;
    report["video_path_delay_ms"] = orNull(DemoReport::median(timing.videoDelaysMs));
    report["camera_frame_lag_ms"] = orNull(DemoReport::median(timing.frameLagsMs));
    report["frames_fed"] = viewerSummary.value("fed", 0);
    report["startup_to_first_audio_ms"] = orNull(firstAudioMs);
    report["cpu_percent_camera_idle"] = std::round(cpuIdle * 100) / 100;
    report["cpu_percent_camera_running"] = std::round(cpuRunning * 100) / 100;
    report["rss_mb"] = std::round(rss * 10) / 10;
    report["rss_peak_mb"] = std::round(rssPeak * 10) / 10;
    report["eq"] = shown["eq"];
    report["output_underruns"] = shown["underruns"];
    report["output_samples_dropped"] = shown["dropped"];
    report["output_samples_repeated"] = shown["repeated"];
    report["output_catch_ups"] = shown["catch_ups"];
    report["output_samples_skipped"] = shown["skipped"];
    report["output_underrun_seconds"] = listedSeconds(underrunTimes);
    report["mic_dropouts"] = dropouts.size();
    report["mic_dropout_seconds"] = listedSeconds(dropoutTimes);
    report["call_app_resumptions"] = heardTimeline.resumptions();  // after cycles its device skipped
    // Set beside the moments the machine woke real-time threads late: a host that pauses its virtual
    // machine for longer than the path's margins leaves gaps that no margin of their size covers.
    std::optional<std::vector<DemoStall>> stalls;
    if (options->stalls) {
        stalls = DemoReport::readStalls(*options->stalls);
        std::uint64_t worst = 0;
        std::vector<std::uint64_t> due;
        for (const auto& stall : *stalls) {
            worst = std::max(worst, stall.late);
            due.push_back(stall.due);
        }
        report["machine_stalls"] = stalls->size();
        report["machine_stall_worst_ms"] = std::round(static_cast<double>(worst) / 1e4) / 100;
        report["machine_stall_seconds"] = listedSeconds(due);
        report["mic_dropouts_during_stalls"] = DemoReport::countDuringStalls(dropoutTimes, *stalls, kStallMargin);
        report["output_underruns_during_stalls"] = DemoReport::countDuringStalls(underrunTimes, *stalls, kStallMargin);
    }
    if (!DemoReport::write(report, out / "report.json")) {
        std::fprintf(stderr, "%s kann nicht geschrieben werden.\n", (out / "report.json").c_str());
        return 1;
    }

    const auto number = [&](const char* key, int decimals, bool sign = false) {
        char text[64] = "–";
        if (report[key].is_number()) {
            const double value = report[key].get<double>();
            if (sign)
                std::snprintf(text, sizeof text, "%+.*f", decimals, value);
            else
                std::snprintf(text, sizeof text, "%.*f", decimals, value);
        }
        return std::string(text);
    };
    std::printf("Velunto-Demo, %.0f s auf simulierter Hardware\n", options->seconds);
    std::printf("  Eingang: %s (44,1 kHz), Plug-in: %s, Equalizer mit Kurve\n",
                report["input_device"].get<std::string>().c_str(), report["plugin"].get<std::string>().c_str());
    std::printf("  Latenz: angezeigt %s ms, gemessen %s ms (Klick am Mikrofon bis Klick in Velunto Mic, %zu Klicks)\n",
                number("latency_ms_computed", 1).c_str(), number("latency_ms_measured", 1).c_str(),
                timing.latenciesMs.size());
    std::printf("  Bild: %s ms verzögert; Blitz gegen Klick: %s ms (Median über %zu %s)\n",
                number("video_delay_ms", 1).c_str(), number("av_offset_ms", 1, true).c_str(), timing.avOffsetsMs.size(),
                timing.avOffsetsMs.size() == 1 ? "Blitz" : "Blitze");
    std::printf("  Velunto Kamera: %d Bilder bei der Video-App angekommen\n", report["frames_received"].get<int>());
    std::printf("  Start bis zum ersten Ton in Velunto Mic: %s ms\n", number("startup_to_first_audio_ms", 0).c_str());
    std::printf("  Aussetzer in Velunto Mic: %zu; Ausgabe leergelaufen: %llu-mal\n", dropouts.size(),
                static_cast<unsigned long long>(shown["underruns"].get<std::uint64_t>()));
    if (stalls)
        std::printf("  Maschine %zu-mal zu spät (höchstens %.1f ms); dabei %zu der Aussetzer und %zu der Leerläufe\n",
                    stalls->size(), report["machine_stall_worst_ms"].get<double>(),
                    report["mic_dropouts_during_stalls"].get<std::size_t>(),
                    report["output_underruns_during_stalls"].get<std::size_t>());
    std::printf("  CPU: %.1f %% eines Kerns ohne Kamera-Zuschauer, %.1f %% mit; Speicher %.0f MB\n", cpuIdle,
                cpuRunning, rss);
    std::printf(
        "  Dateien in %s: velunto-mic.wav, velunto-kamera-1.png, velunto-kamera-2.png, "
        "velunto-kamera-blitz.png, panel.png, eq.png, priority.png, latency.png, velunto.log, report.json\n",
        out.c_str());

    bool complete = true;
    const auto require = [&](bool condition, const char* problem) {
        if (!condition) {
            std::fprintf(stderr, "%s\n", problem);
            complete = false;
        }
    };
    require(viewerStatus == 0,
            "Die Video-App hat Velunto Kamera nicht wie erwartet gesehen (velunto-camera-viewer.log).");
    require(!timing.latenciesMs.empty(), "In Velunto Mic kam kein Klick an.");
    require(!timing.avOffsetsMs.empty(), "Kein Blitz ließ sich einem Klick zuordnen.");
    require(extensionStopped, "Die Kamera-Erweiterung hat sich nicht beendet.");
    require(shown["picturesSaved"] == true, "Die Bilder der Fenster ließen sich nicht schreiben.");
    return complete ? 0 : 1;
}
