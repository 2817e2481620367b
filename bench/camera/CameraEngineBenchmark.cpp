// The application's camera path while somebody watches: a simulated 1280 x 720 NV12 camera at 30
// frames per second, converted to 1920 x 1080 BGRA and held back by 250 ms, into velunto-camera-extension
// (a process of its own) and out to velunto-camera-viewer (another process), which reads the capture
// time burned into each frame. Reported:
//   cpu_percent           this process's CPU per second of wall time, in % of one core
//   camera_only_percent   the same for the simulated camera captured into a delegate that does nothing
//   delay_error_p50_ms / delay_error_p99_ms   arrival minus capture minus the set delay, at the viewer

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/camera/CameraEngine.h"
#include "platform/avfoundation/AVCaptureDevice.h"
#include "platform/avfoundation/AVCaptureDeviceInput.h"
#include "platform/dispatch/MainRunLoop.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/sim/SimulatedCameraHardware.h"
#include "tests/support/ChildProcess.h"

using namespace velunto;

namespace {

constexpr double kSeconds = 5;
constexpr double kDelayMilliseconds = 250;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

SimulatedCameraDescription camera720() {
    SimulatedCameraDescription camera;
    camera.uniqueID = "bench.camera";
    camera.name = "Bench-Kamera";
    camera.sizes = {{1280, 720}};
    camera.pixelFormat = '420v';
    return camera;
}

class NoDelegate : public AVCaptureVideoDataOutputSampleBufferDelegate {
    void captureOutputDidOutputSampleBuffer(AVCaptureOutput&, const CMSampleBufferRef&, AVCaptureConnection&) override {
    }
};

// CPU per wall second of the simulated camera alone.
double cameraOnlyPercent() {
    SimulatedCameraHardware hardware({camera720()});
    const auto session = AVCaptureSession::make();
    const auto output = AVCaptureVideoDataOutput::make();
    const auto delegate = std::make_shared<NoDelegate>();
    const DispatchQueue queue("bench.camera.nothing");
    output->setVideoSettings({{kCVPixelBufferPixelFormatTypeKey, kCVPixelFormatType_32BGRA}});
    output->setSampleBufferDelegate(delegate, queue);
    session->beginConfiguration();
    session->addOutput(output);
    session->addInput(
        AVCaptureDeviceInput::deviceInputWithDevice(AVCaptureDevice::deviceWithUniqueID("bench.camera"), nullptr));
    session->commitConfiguration();
    const double before = cpuSeconds();
    session->startRunning();
    std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
    session->stopRunning();
    return (cpuSeconds() - before) / kSeconds * 100;
}

void BM_CameraEnginePipeline(benchmark::State& state) {
    char directory[] = "/tmp/velunto-bench-engine-XXXXXX";
    const std::string runtime = mkdtemp(directory);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    MainRunLoop::attachCurrentThread();
    ChildProcess extension(VELUNTO_CAMERA_EXTENSION, {}, runtime + "/extension.log");
    double cpu = 0, cameraOnly = 0;
    std::string report;
    for (auto _ : state) {
        cameraOnly = cameraOnlyPercent();
        SimulatedCameraHardware hardware({camera720()});
        const auto engine = CameraEngine::make(SettingsStore(UserDefaults::inMemory()));
        engine->setDelay(kDelayMilliseconds);
        ChildProcess viewer(VELUNTO_CAMERA_VIEWER, {"--seconds", std::to_string(int(kSeconds + 2)), "--stamps"},
                            runtime + "/viewer.log");
        // Until the engine has noticed the viewer and the camera runs.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!hardware.isCapturing("bench.camera") && std::chrono::steady_clock::now() < deadline)
            MainRunLoop::runFor(std::chrono::milliseconds(20));
        const double before = cpuSeconds();
        MainRunLoop::runFor(
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(kSeconds)));
        cpu = (cpuSeconds() - before) / kSeconds * 100;
        state.SetIterationTime(kSeconds);
        viewer.wait();
        report = viewer.output();
    }
    extension.kill();

    double minimum = 0, median = 0, p99 = 0;
    std::size_t frames = 0;
    const auto line = report.find("Verzögerung ab Aufnahme:");
    if (line == std::string::npos ||
        std::sscanf(report.c_str() + line,
                    "Verzögerung ab Aufnahme: Minimum %lf ms, Median %lf ms, 99. Perzentil %lf ms (%zu Bilder)",
                    &minimum, &median, &p99, &frames) != 4) {
        state.SkipWithError("the viewer reported no delays");
        return;
    }
    state.counters["cpu_percent"] = cpu;
    state.counters["camera_only_percent"] = cameraOnly;
    state.counters["delay_error_p50_ms"] = median - kDelayMilliseconds;
    state.counters["delay_error_p99_ms"] = p99 - kDelayMilliseconds;
    state.counters["frames"] = static_cast<double>(frames);
}
BENCHMARK(BM_CameraEnginePipeline)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
