// Frames through the virtual camera across processes: this process feeds 1920 x 1080 frames into
// Velunto Kamera's sink through the application's client, 30 per second like a camera, and watches
// the camera's source stream like a call app; velunto-camera-extension runs as its own process.
// Reported per frame, in milliseconds at the 50th and 99th percentile:
//   end_to_end  the feeder's enqueue to the viewer's receipt (includes the extension's 5 ms sink poll)
//   hop         the extension's send to the viewer's receipt (the transport between the processes)

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <thread>

#include "app/camera/VirtualCameraClient.h"
#include "demo/CameraViewer.h"
#include "demo/TestPattern.h"
#include "platform/corevideo/CVPixelBufferPool.h"
#include "platform/dispatch/HostClock.h"

using namespace velunto;

namespace {

struct Arrival {
    std::uint64_t number;
    double endToEndMs;
    double hopMs;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

void BM_VirtualCameraFrame(benchmark::State& state) {
    char directory[] = "/tmp/velunto-bench-camera-XXXXXX";
    setenv("XDG_RUNTIME_DIR", mkdtemp(directory), 1);
    const pid_t extension = fork();
    if (extension == 0) {
        execl(VELUNTO_CAMERA_EXTENSION, VELUNTO_CAMERA_EXTENSION, static_cast<char*>(nullptr));
        _exit(127);
    }

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Arrival> arrivals;
    CameraViewer viewer;
    viewer.setFrameHandler([&](const CVPixelBuffer& frame) {
        const std::uint64_t now = HostClock::nowNanoseconds();
        const std::uint64_t stamped = TestPattern::stampedAt(frame);
        if (stamped == 0 || stamped > now)
            return;  // black fill
        std::lock_guard lock(mutex);
        arrivals.push_back({TestPattern::number(frame), static_cast<double>(now - stamped) / 1e6, 0});
        arrived.notify_all();
    });
    const DispatchQueue queue("bench.camera.feeder");
    std::shared_ptr<VirtualCameraClient> client;
    queue.sync([&] { client = VirtualCameraClient::make(queue); });
    bool ready = false;
    for (int attempt = 0; attempt < 200 && !ready; ++attempt) {
        ready = viewer.open("Velunto Kamera", 0) == 0 && queue.sync([&] { return client->connectIfNeeded(); });
        if (!ready)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::shared_ptr<CVPixelBufferPool> pool;
    CVPixelBufferPool::create({kCVPixelFormatType_32BGRA, 1920, 1080}, &pool);
    if (!ready || !pool) {
        state.SkipWithError("Velunto Kamera did not come up");
    } else {
        std::uint64_t number = 1;
        std::vector<double> endToEnd, hop;
        for (auto _ : state) {
            const auto next = std::chrono::steady_clock::now() + std::chrono::microseconds(33333);
            std::shared_ptr<CVPixelBuffer> frame;
            std::shared_ptr<const CMVideoFormatDescription> description;
            CMSampleBufferRef sample;
            pool->createPixelBuffer(&frame);
            TestPattern::paint(*frame, number, HostClock::nowNanoseconds());
            CMVideoFormatDescription::createForImageBuffer(*frame, &description);
            CMSampleBuffer::createReadyWithImageBuffer(frame, description,
                                                       {CMTimeMake(1, 30), kCMTimeInvalid, kCMTimeInvalid}, &sample);
            frame.reset();
            queue.sync([&] { client->bufferQueue()->enqueue(std::move(sample)); });
            std::unique_lock lock(mutex);
            const bool came = arrived.wait_for(lock, std::chrono::seconds(2),
                                               [&] { return !arrivals.empty() && arrivals.back().number == number; });
            if (!came) {
                state.SkipWithError("a frame did not arrive");
                break;
            }
            endToEnd.push_back(arrivals.back().endToEndMs);
            state.SetIterationTime(arrivals.back().endToEndMs / 1e3);
            lock.unlock();
            ++number;
            std::this_thread::sleep_until(next);
        }
        // The hop: the extension's send time is the frame's presentation time.
        for (const auto& frame : viewer.frames())
            if (frame.centre != 0xFF000000u && frame.presentedAt > 0 && frame.at >= frame.presentedAt)
                hop.push_back(static_cast<double>(frame.at - frame.presentedAt) / 1e6);
        state.counters["end_to_end_p50_ms"] = percentile(endToEnd, 0.50);
        state.counters["end_to_end_p99_ms"] = percentile(endToEnd, 0.99);
        state.counters["hop_p50_ms"] = percentile(hop, 0.50);
        state.counters["hop_p99_ms"] = percentile(hop, 0.99);
    }
    viewer.close();
    queue.sync([&] { client.reset(); });
    kill(extension, SIGKILL);
    waitpid(extension, nullptr, 0);
}
BENCHMARK(BM_VirtualCameraFrame)->Iterations(300)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
