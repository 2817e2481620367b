// The application on a real sound server: a private PulseAudio daemon with a 1 kHz microphone.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/audio/AppState.h"
#include "app/ui/HardwareSelection.h"
#include "platform/avaudio/AVAudioUnit.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/lv2/LV2PluginCatalog.h"
#include "platform/oslog/LogCapture.h"
#include "tests/support/PulseServer.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

// Runs the main queue (the application's state lives there) until the predicate holds.
template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        MainRunLoop::runFor(20ms);
    }
    return true;
}

void runFor(std::chrono::milliseconds duration) {
    MainRunLoop::runFor(duration);
}

// What another program hears from a source: `seconds` of mono float samples recorded with parec.
std::vector<float> recordWithParec(const std::string& source, const std::string& folder, double seconds) {
    const std::string path = folder + "/parec.raw";
    const std::string command = "timeout " + std::to_string(seconds) + " parec -d " + source +
                                " --raw --format=float32le --rate=48000 --channels=1 --latency-msec=10 > " + path;
    PulseServer::run(command);
    std::ifstream file(path, std::ios::binary);
    std::vector<float> samples;
    float sample;
    while (file.read(reinterpret_cast<char*>(&sample), sizeof sample))
        samples.push_back(sample);
    return samples;
}

// The amplitude of the `frequency` component in the last half second (a single-bin Fourier sum).
double amplitudeAt(const std::vector<float>& samples, double frequency) {
    const std::size_t n = std::min<std::size_t>(samples.size(), 24000);
    double re = 0, im = 0;
    for (std::size_t i = samples.size() - n; i < samples.size(); ++i) {
        const double phase = 2 * std::numbers::pi * frequency * static_cast<double>(i) / 48000.0;
        re += samples[i] * std::cos(phase);
        im += samples[i] * std::sin(phase);
    }
    return n == 0 ? 0 : 2 * std::hypot(re, im) / static_cast<double>(n);
}

// The index of the server's module whose arguments contain `part`, or "".
std::string moduleIndex(const std::string& part) {
    std::istringstream lines(PulseServer::output("pactl list short modules"));
    for (std::string line; std::getline(lines, line);)
        if (line.find(part) != std::string::npos)
            return line.substr(0, line.find('\t'));
    return "";
}

// Another program recording a source with parec for as long as this lives, into a file read as it grows.
class Recording {
public:
    Recording(const std::string& source, const std::string& folder) : path_(folder + "/" + source + ".raw") {
        PulseServer::run("parec -d " + source +
                         " --raw --format=float32le --rate=48000 --channels=1 --latency-msec=10 > " + path_ +
                         " & echo $! > " + path_ + ".pid");
    }
    ~Recording() { PulseServer::run("kill $(cat " + path_ + ".pid) 2>/dev/null"); }

    // The newest `seconds` recorded.
    std::vector<float> last(double seconds) const {
        std::ifstream file(path_, std::ios::binary | std::ios::ate);
        const auto bytes = static_cast<std::size_t>(file.tellg());
        const std::size_t wanted = static_cast<std::size_t>(seconds * 48000) * sizeof(float);
        const std::size_t start = (bytes > wanted ? bytes - wanted : 0) / sizeof(float) * sizeof(float);
        std::vector<float> samples((bytes - start) / sizeof(float));
        file.seekg(static_cast<std::streamoff>(start));
        file.read(reinterpret_cast<char*>(samples.data()),
                  static_cast<std::streamsize>(samples.size() * sizeof(float)));
        return samples;
    }

private:
    std::string path_;
};

// A new stream on the test server's microphone starts out with a second or two of silence: waits (with
// the main queue running) until `source` carries the tone.
bool waitForTone(const std::string& source, const std::string& folder, double frequency) {
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (amplitudeAt(recordWithParec(source, folder, 0.6), frequency) > 0.05)
            return true;
        MainRunLoop::runFor(100ms);
    }
    return false;
}

class SystemHardwareTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PulseServer::available())
            GTEST_SKIP() << "pulseaudio is not installed";
        server = std::make_unique<PulseServer>(
            "set-default-source mic\n"
            "load-module module-null-sink sink_name=phones rate=48000 channels=2 "
            "sink_properties=device.description=Kopfhörer\n");
        ASSERT_TRUE(server->ready()) << server->log();
        unsetenv("VELUNTO_HARDWARE");
        MainRunLoop::attachCurrentThread();
        hardware = HardwareSelection::choose(3s);
        ASSERT_EQ(hardware->kind(), HardwareSelection::Kind::system) << hardware->description();
        state = AppState::make(UserDefaults::inMemory());
        ASSERT_TRUE(eventually([&] {
            return state->outputStatus.value() == EngineStatus::running() &&
                   state->captureStatus.value() == EngineStatus::running();
        }));
    }
    void TearDown() override {
        state.reset();
        hardware.reset();
        server.reset();
    }

    LogCapture log;
    std::unique_ptr<PulseServer> server;
    std::unique_ptr<HardwareSelection> hardware;
    std::shared_ptr<AppState> state;
};

}  // namespace

TEST_F(SystemHardwareTest, TheVoiceReachesEveryProgramThroughVeluntoMicWithTheEQAndAnLV2EffectApplied) {
    EXPECT_TRUE(log.contains("Hardware", "Hardware: Tonserver PulseAudio 16.1, Kameras über V4L2") ||
                hardware->description().rfind("Tonserver ", 0) == 0);
    EXPECT_EQ(state->outputDeviceUID.value(), "app.velunto.mic.feed");
    EXPECT_EQ(state->deviceManager().resolvedDeviceUID.value(), "mic");

    const Recording callApp("app.velunto.mic", server->folder());
    ASSERT_TRUE(eventually([&] { return amplitudeAt(callApp.last(0.5), 1000) > 0.05; }, 15s))
        << "the microphone's tone comes out of Velunto Mic";
    // The loudest of a few windows: a piece dropped on a loaded machine only lowers a window.
    const auto level = [&] {
        double loudest = 0;
        for (int window = 0; window < 3; ++window) {
            runFor(400ms);
            loudest = std::max(loudest, amplitudeAt(callApp.last(0.4), 1000));
        }
        return loudest;
    };
    const double plain = level();

    EQSettings cut = defaultEQSettings();
    cut.bands[2].gain = -12;  // 1000 Hz, q 1
    state->deviceEQ().setSettings(cut);
    runFor(500ms);
    const double cutLevel = level();
    EXPECT_NEAR(20 * std::log10(cutLevel / plain), -12.0, 1.0) << plain << " then " << cutLevel;

    // And through an LV2 effect: swh's amplifier, 6 dB up, before the EQ.
    const LV2PluginDescription* amp = LV2PluginCatalog::shared().find("http://plugin.org.uk/swh-plugins/amp");
    if (amp == nullptr)
        GTEST_SKIP() << "swh-lv2 is not installed";
    state->pluginHost().selectPlugin(PluginDescription{amp->name, amp->author, amp->component});
    ASSERT_TRUE(eventually([&] { return state->pluginHost().loadedUnit.value() != nullptr; }));
    state->pluginHost().loadedUnit.value()->unit().setParameterValue(0, 6.0f);  // gain in dB
    // The capture graph is rebuilt around the new effect.
    EXPECT_TRUE(eventually([&] { return amplitudeAt(callApp.last(0.2), 1000) > 1.5 * cutLevel; }, 5s));
    const double amplified = level();
    EXPECT_NEAR(20 * std::log10(amplified / cutLevel), 6.0, 1.0) << cutLevel << " then " << amplified;
}

TEST_F(SystemHardwareTest, AMicrophoneThatGoesAwayFallsBackToTheServersNextInput) {
    const std::string module = moduleIndex("source_name=mic ");
    ASSERT_FALSE(module.empty());
    ASSERT_EQ(PulseServer::run("pactl unload-module " + module), 0);
    EXPECT_TRUE(eventually([&] { return state->deviceManager().resolvedDeviceUID.value() == "sine"; }))
        << state->deviceManager().resolvedDeviceUID.value().value_or("none");
    EXPECT_TRUE(eventually([&] { return state->captureStatus.value() == EngineStatus::running(); }));
    // The slow sine source answers in pieces of a second or two.
    runFor(4s);
    const std::vector<float> heard = recordWithParec("app.velunto.mic", server->folder(), 1.5);
    EXPECT_GT(amplitudeAt(heard, 440), 0.05) << "the fallback's tone";
    EXPECT_LT(amplitudeAt(heard, 1000), 0.01) << "no trace of the microphone that went";
}

TEST_F(SystemHardwareTest, ListenBackPlaysIntoTheChosenOutput) {
    state->setMonitorDeviceUID("phones");
    state->setMonitoring(true);
    EXPECT_TRUE(eventually([&] { return state->monitorEngine().status() == EngineStatus::running(); }));
    EXPECT_EQ(state->monitorEngine().currentDeviceUID(), "phones");
    EXPECT_TRUE(waitForTone("phones.monitor", server->folder(), 1000));
    state->setMonitoring(false);
}

TEST_F(SystemHardwareTest, LeavingRemovesOnlyTheDevicesItMade) {
    state.reset();
    hardware.reset();
    const std::string sinks = PulseServer::output("pactl list short sinks");
    const std::string sources = PulseServer::output("pactl list short sources");
    EXPECT_EQ(sinks.find("app.velunto.mic.feed"), std::string::npos);
    EXPECT_EQ(sources.find("app.velunto.mic\t"), std::string::npos);
    EXPECT_NE(sinks.find("phones"), std::string::npos);
    EXPECT_NE(sources.find("mic\t"), std::string::npos);
}

TEST_F(SystemHardwareTest, ARestartedServerGetsVeluntoMicAgainAndTheVoiceFlowsOnceMore) {
    server.reset();
    EXPECT_TRUE(eventually([&] { return state->outputStatus.value() != EngineStatus::running(); }));
    server = std::make_unique<PulseServer>("set-default-source mic\n");
    ASSERT_TRUE(server->ready());
    EXPECT_TRUE(eventually(
        [&] { return PulseServer::output("pactl list short sources").find("app.velunto.mic\t") != std::string::npos; },
        15s));
    EXPECT_TRUE(eventually(
        [&] {
            return state->outputStatus.value() == EngineStatus::running() &&
                   state->captureStatus.value() == EngineStatus::running();
        },
        15s));
    EXPECT_TRUE(waitForTone("app.velunto.mic", server->folder(), 1000));
}

TEST(HardwareSelectionTest, WithoutASoundServerItRunsOnTheSimulatedHardwareAndSaysWhy) {
    LogCapture log;
    setenv("PULSE_SERVER", "unix:/nonexistent/velunto/native", 1);
    unsetenv("VELUNTO_HARDWARE");
    auto hardware = HardwareSelection::choose(1s);
    unsetenv("PULSE_SERVER");
    EXPECT_EQ(hardware->kind(), HardwareSelection::Kind::simulated);
    EXPECT_EQ(hardware->description().rfind("simuliert (kein Tonserver erreichbar: ", 0), 0u)
        << hardware->description();
    EXPECT_TRUE(log.contains("Hardware", "Hardware: " + hardware->description()));
}
