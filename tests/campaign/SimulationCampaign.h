#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/PropertyListValue.h"
#include "tests/campaign/CampaignRandom.h"
#include "tests/campaign/StaleAudioDetector.h"

namespace velunto {

class AppState;
class AudioServerPlugInHost;
class CameraProviderSource;
class CameraViewer;
class LogCapture;
class SimulatedAudioHardware;
class SimulatedCallApp;
class SimulatedCameraHardware;
class SimulatedSystemExtensions;
class UserDefaults;
class VirtualTime;

// The whole application on simulated hardware in virtual time, driven from a seed through a random
// schedule of what users do and what goes wrong, with the system's promises checked after every step.
// The same seed gives the same run, step for step.
class SimulationCampaign {
public:
    struct Options {
        std::uint64_t seed = 1;
        std::chrono::seconds duration{600};  // virtual
        std::filesystem::path driverBundle;
        bool traceSteps = false;  // print each step as it runs
    };
    struct Result {
        std::uint64_t seed = 0;
        bool passed = false;
        std::string failure;             // the broken promise, with the step
        std::vector<std::string> trace;  // every step, in order
        std::uint64_t traceHash = 0;     // of the trace and what each check saw
        std::uint64_t steps = 0;
        std::uint64_t faults = 0;
        std::uint64_t launches = 0;
        std::uint64_t storms = 0;
        std::uint64_t realTimeCallbacks = 0;
        std::uint64_t realTimeLocks = 0;
        std::uint64_t realTimeAllocations = 0;
        std::uint64_t micSamplesChecked = 0;
        double virtualSeconds = 0;
    };

    // One run; a VirtualTime must not be installed already.
    static Result run(const Options& options);
    // Damages a settings file as a crash or a stray program might: cut short (a missing file becomes an
    // empty one) or its header overwritten.
    static void damageSettingsFile(const std::filesystem::path& file, CampaignRandom& random);

    ~SimulationCampaign();
    SimulationCampaign(const SimulationCampaign&) = delete;
    SimulationCampaign& operator=(const SimulationCampaign&) = delete;

private:
    explicit SimulationCampaign(const Options& options);

    struct Failure {
        std::string what;
    };
    void execute();
    void require(bool condition, const std::string& what);
    void note(const std::string& step);
    void mix(std::uint64_t value);

    // Launch, quit, kill.
    void launch();
    void quit();
    void kill(bool midSave);
    void corruptSettingsFile();
    std::map<std::string, std::optional<PropertyListValue>> storedSettings() const;
    struct Shown;
    Shown shown() const;

    // Steps.
    void advance(std::chrono::milliseconds duration);
    void userAction();
    void fault();
    void heal();
    void dragEQ();
    void choosePlugin();
    void startMeasurement();
    void plugInput(const std::string& uid);
    void startCallApp();
    void stopCallApp();

    // Checks.
    void checkAfterStep();
    void checkRecovered();
    void checkRelaunch(const Shown& before, bool expectDefaults);
    // `fed` false: the output fed the loop nothing since the last check.
    void checkMicrophone(bool fed);
    void checkRealTime();

    const Options options_;
    CampaignRandom random_;
    Result result_;
    std::filesystem::path directory_;

    std::unique_ptr<VirtualTime> time_;
    std::unique_ptr<LogCapture> logs_;
    std::unique_ptr<SimulatedSystemExtensions> extensions_;
    std::unique_ptr<AudioServerPlugInHost> host_;
    std::unique_ptr<SimulatedAudioHardware> audio_;
    std::unique_ptr<SimulatedCameraHardware> cameras_;
    std::shared_ptr<CameraProviderSource> extension_;
    std::unique_ptr<CameraViewer> viewer_;
    std::unique_ptr<SimulatedCallApp> callApp_;
    std::shared_ptr<UserDefaults> defaults_;
    std::shared_ptr<AppState> app_;

    // What the world looks like, as the campaign made it.
    std::set<std::string> pluggedInputs_;
    std::set<std::string> killed_;
    std::set<std::string> pluggedCameras_;
    std::map<std::string, std::uint32_t> signalSeeds_;
    bool driverLoaded_ = false;
    bool driverAtLaunch_ = false;
    bool driverLostSinceLaunch_ = false;
    bool accessDenied_ = false;
    bool accessDeniedSinceLaunch_ = false;
    bool extensionRunning_ = false;
    std::uint64_t lastFaultNanoseconds_ = 0;
    std::uint64_t feedStoppedSinceNanoseconds_ = 0;      // first seen without an output unit; 0 while it has one
    std::map<std::string, std::uint64_t> lastEQChange_;  // device -> virtual time of the last drag
    StaleAudioDetector stale_;                           // laps of the driver's loop ring, the smallest ring on the way
    std::uint64_t micFramesTaken_ = 0;
    std::uint64_t micFramesBase_ = 0;
};

}  // namespace velunto
