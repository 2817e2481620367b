// velunto-pulse-latency: the voice path on a private PulseAudio server, measured. A click every half second
// is played into a bus whose monitor is the microphone "klick"; the application (headless, on the sound
// server) runs the microphone into Velunto Mic. Recorded at both ends in this process, each click's capture
// instant at the microphone and at Velunto Mic give the real latency, compared with what the application
// computes and with a plain module-loopback from the same microphone into the same feed. Also the
// application's CPU share. Prints one JSON object.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/audio/AppState.h"
#include "app/devices/AudioProperties.h"
#include "app/ui/HardwareSelection.h"
#include "platform/coreaudio/AudioHardware.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/PulseServer.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

constexpr double kRate = 48000;

// First channel of what a device delivers, with the host time of every block's first frame.
struct Recorder {
    std::vector<float> samples = std::vector<float>(static_cast<std::size_t>(kRate * 30));
    std::vector<std::pair<std::size_t, std::uint64_t>> blocks =
        std::vector<std::pair<std::size_t, std::uint64_t>>(20000);
    std::atomic<std::size_t> count{0};
    std::atomic<std::size_t> blockCount{0};

    static OSStatus proc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input,
                         const AudioTimeStamp* inputTime, AudioBufferList*, const AudioTimeStamp*, void* client) {
        auto* self = static_cast<Recorder*>(client);
        const auto& buffer = input->mBuffers[0];
        const UInt32 channels = buffer.mNumberChannels;
        const UInt32 frames = buffer.mDataByteSize / (sizeof(float) * channels);
        std::size_t at = self->count.load(std::memory_order_relaxed);
        const std::size_t block = self->blockCount.load(std::memory_order_relaxed);
        if (at + frames > self->samples.size() || block >= self->blocks.size())
            return 0;
        self->blocks[block] = {at, inputTime->mHostTime};
        const auto* data = static_cast<const float*>(buffer.mData);
        for (UInt32 f = 0; f < frames; ++f)
            self->samples[at++] = data[f * channels];
        self->count.store(at, std::memory_order_release);
        self->blockCount.store(block + 1, std::memory_order_release);
        return 0;
    }

    // Host times (ns) at which a click begins: the first sample above half the click's height after
    // at least 100 ms of quiet.
    std::vector<double> onsets() const {
        std::vector<double> result;
        const std::size_t n = count.load(), blocksRecorded = blockCount.load();
        std::size_t quietSince = 0, b = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (std::abs(samples[i]) < 0.25f)
                continue;
            if (i - quietSince > kRate / 10) {
                while (b + 1 < blocksRecorded && blocks[b + 1].first <= i)
                    ++b;
                result.push_back(static_cast<double>(blocks[b].second) +
                                 static_cast<double>(i - blocks[b].first) * 1e9 / kRate);
            }
            quietSince = i;
        }
        return result;
    }
};

AudioObjectID deviceFor(const std::string& uid) {
    return AudioProperties::deviceForUID(uid).value_or(AudioObjectID{kAudioObjectUnknown});
}

double inputLatencyNanoseconds(AudioObjectID device) {
    AudioObjectPropertyAddress address{kAudioDevicePropertyLatency, kAudioObjectPropertyScopeInput,
                                       kAudioObjectPropertyElementMain};
    UInt32 frames = 0, size = sizeof frames;
    AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &frames);
    return frames * 1e9 / kRate;
}

// Records the microphone and Velunto Mic together for `seconds` and returns each click's delay (ms)
// from its capture at the microphone to its capture at Velunto Mic.
std::vector<double> measure(double seconds) {
    const AudioObjectID mic = deviceFor("klick");
    const AudioObjectID velunto = deviceFor("app.velunto.mic");
    auto atMic = std::make_unique<Recorder>();
    auto atVelunto = std::make_unique<Recorder>();
    AudioDeviceIOProcID micProc = nullptr, veluntoProc = nullptr;
    AudioDeviceCreateIOProcID(mic, &Recorder::proc, atMic.get(), &micProc);
    AudioDeviceCreateIOProcID(velunto, &Recorder::proc, atVelunto.get(), &veluntoProc);
    AudioDeviceStart(mic, micProc);
    AudioDeviceStart(velunto, veluntoProc);
    MainRunLoop::runFor(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
    const double micLatency = inputLatencyNanoseconds(mic);
    const double veluntoLatency = inputLatencyNanoseconds(velunto);
    AudioDeviceStop(mic, micProc);
    AudioDeviceStop(velunto, veluntoProc);
    AudioDeviceDestroyIOProcID(mic, micProc);
    AudioDeviceDestroyIOProcID(velunto, veluntoProc);

    std::vector<double> delays;
    const std::vector<double> sent = atMic->onsets();
    for (double heard : atVelunto->onsets()) {
        const auto before = std::upper_bound(sent.begin(), sent.end(), heard - veluntoLatency + micLatency);
        if (before == sent.begin())
            continue;
        const double delay = ((heard - veluntoLatency) - (*std::prev(before) - micLatency)) / 1e6;
        if (delay < 400)
            delays.push_back(delay);
    }
    return delays;
}

double median(std::vector<double> values) {
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A click of 1 ms every half second, as raw float samples.
std::string writeClicks(const std::string& folder, double seconds) {
    const std::string path = folder + "/clicks.raw";
    std::vector<float> samples(static_cast<std::size_t>(seconds * kRate));
    for (std::size_t i = 0; i < samples.size(); i += static_cast<std::size_t>(kRate / 2))
        for (std::size_t k = 0; k < 48 && i + k < samples.size(); ++k)
            samples[i + k] = 0.8f;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 4));
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    MainRunLoop::attachCurrentThread();
    PulseServer server(
        "load-module module-null-sink sink_name=klick-bus rate=48000 channels=1 "
        "sink_properties=device.description=Klickbus\n"
        "load-module module-remap-source master=klick-bus.monitor source_name=klick channels=1 "
        "source_properties=device.description=Klick-Mikrofon\n"
        "set-default-source klick\n");
    if (!server.ready()) {
        std::fprintf(stderr, "pulseaudio did not start:\n%s\n", server.log().c_str());
        return 1;
    }
    const std::string clicks = writeClicks(server.folder(), 3 * seconds + 30);
    PulseServer::run(
        "pacat --playback -d klick-bus --raw --format=float32le --rate=48000 --channels=1 "
        "--latency-msec=10 " +
        clicks + " &");

    setenv("VELUNTO_HARDWARE", "system", 1);
    auto hardware = HardwareSelection::choose(3s);
    if (hardware->kind() != HardwareSelection::Kind::system)
        return 1;
    auto state = AppState::make(UserDefaults::inMemory());
    MainRunLoop::runFor(4s);  // running, the latency figure updated, the streams settled

    const double cpuBefore = cpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    MainRunLoop::runFor(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
    const double cpuShare = (cpuSeconds() - cpuBefore) /
                            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();

    const double computed = state->latencyMilliseconds.value().value_or(std::nan(""));
    const std::vector<double> app = measure(seconds);
    if (std::getenv("VELUNTO_LATENCY_SERIES"))
        for (double d : app)
            std::fprintf(stderr, "click %.2f\n", d);
    state.reset();

    // The same microphone into the same feed through the server's own loopback.
    PulseServer::run(
        "pactl load-module module-loopback source=klick sink=app.velunto.mic.feed latency_msec=1 "
        "source_dont_move=true sink_dont_move=true > /dev/null");
    MainRunLoop::runFor(4s);
    const std::vector<double> loopback = measure(seconds);

    std::printf(
        "{\"latency_ms_computed\": %.2f, \"latency_ms_measured\": %.2f, \"measured_min_ms\": %.2f, "
        "\"measured_max_ms\": %.2f, \"clicks\": %zu, \"loopback_ms\": %.2f, \"loopback_clicks\": %zu, "
        "\"cpu_percent\": %.2f}\n",
        computed, median(app), app.empty() ? NAN : *std::min_element(app.begin(), app.end()),
        app.empty() ? NAN : *std::max_element(app.begin(), app.end()), app.size(), median(loopback), loopback.size(),
        cpuShare * 100);
    PulseServer::run("pkill -f 'pacat --playback -d klick-bus'");
    return 0;
}
