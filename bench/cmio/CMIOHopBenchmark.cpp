// The cross-process hop of the camera I/O layer: a client enqueues 1280x720 BGRA frames on the
// test device's sink stream; the provider process (velunto_bench_cmio_provider, polling its sink
// every millisecond) consumes each, stamps it and sends it back out of its source stream, where it
// arrives in this process's viewer queue. Prints p50/p99 of enqueue -> consume completion and
// enqueue -> arrival in the viewer's queue, in milliseconds.
//
//   velunto_bench_cmio [frames]

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/coremediaio/CMIOTestFrames.h"
#include "tests/platform/coremediaio/CMIOTestSupport.h"

using namespace velunto;
using namespace velunto::cmiotest;

namespace {

struct Arrivals {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::uint64_t> times;
    static void proc(CMIOStreamID, void*, void* refCon) {
        auto* self = static_cast<Arrivals*>(refCon);
        const std::uint64_t now = monotonicNanoseconds();
        {
            std::lock_guard lock(self->mutex);
            self->times.push_back(now);
        }
        self->arrived.notify_all();
    }
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

void report(const char* what, const std::vector<double>& milliseconds) {
    double sum = 0;
    for (double value : milliseconds)
        sum += value;
    std::printf("%-40s p50 %7.3f ms   p99 %7.3f ms   mean %7.3f ms   max %7.3f ms   (%zu frames)\n", what,
                percentile(milliseconds, 0.5), percentile(milliseconds, 0.99),
                sum / static_cast<double>(milliseconds.size()),
                *std::max_element(milliseconds.begin(), milliseconds.end()), milliseconds.size());
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 500;
    constexpr int kWarmUp = 20;
    usePrivateSocketDirectory();

    int pipeFDs[2];
    if (pipe2(pipeFDs, O_CLOEXEC) != 0)
        return 1;
    const pid_t provider = fork();
    if (provider == 0) {
        dup2(pipeFDs[1], STDOUT_FILENO);
        execl(VELUNTO_CMIO_BENCH_PROVIDER, VELUNTO_CMIO_BENCH_PROVIDER, "provider", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFDs[1]);
    char ready[16] = {};
    pollfd readable{pipeFDs[0], POLLIN, 0};
    if (poll(&readable, 1, 20000) <= 0 || read(pipeFDs[0], ready, sizeof ready - 1) <= 0) {
        std::fprintf(stderr, "the provider did not start\n");
        kill(provider, SIGKILL);
        return 1;
    }

    CMIODeviceID device = kCMIOObjectUnknown;
    for (int attempt = 0; attempt < 2000 && device == kCMIOObjectUnknown; ++attempt) {
        device = findDevice("test.camera.6F0C");
        if (device == kCMIOObjectUnknown)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto streams = readArray<CMIOStreamID>(device, kCMIODevicePropertyStreams);
    Arrivals arrivals;
    std::shared_ptr<CMSimpleQueue> viewer, feed;
    std::shared_ptr<CVPixelBufferPool> pool;
    if (streams.size() != 2 || CMIOStreamCopyBufferQueue(streams[0], &Arrivals::proc, &arrivals, &viewer) != 0 ||
        CMIOStreamCopyBufferQueue(streams[1], nullptr, nullptr, &feed) != 0 ||
        CMIODeviceStartStream(device, streams[0]) != 0 || CMIODeviceStartStream(device, streams[1]) != 0 ||
        CVPixelBufferPool::create({kCVPixelFormatType_32BGRA, 1280, 720}, &pool) != kCVReturnSuccess) {
        std::fprintf(stderr, "could not set up the device's streams\n");
        kill(provider, SIGKILL);
        return 1;
    }

    std::vector<double> toConsume, toViewer;
    int lost = 0;
    for (int counter = 0; counter < frames + kWarmUp; ++counter) {
        std::shared_ptr<CVPixelBuffer> buffer;
        if (pool->createPixelBuffer(&buffer) != kCVReturnSuccess) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        auto frame = makeFrame(buffer, static_cast<std::uint64_t>(counter));
        buffer.reset();
        std::size_t before;
        {
            std::lock_guard lock(arrivals.mutex);
            before = arrivals.times.size();
        }
        writeEnqueuedAt(*frame->imageBuffer(), monotonicNanoseconds());
        feed->enqueue(std::move(frame));
        std::unique_lock lock(arrivals.mutex);
        if (!arrivals.arrived.wait_for(lock, std::chrono::seconds(5), [&] { return arrivals.times.size() > before; })) {
            ++lost;
            continue;
        }
        const std::uint64_t arrivedAt = arrivals.times.back();
        lock.unlock();
        auto back = viewer->dequeue();
        if (!back)
            continue;
        const FrameStamp stamp = readStamp(*back->imageBuffer());
        if (counter >= kWarmUp && stamp.counter == static_cast<std::uint64_t>(counter)) {
            toConsume.push_back(static_cast<double>(stamp.consumedAt - stamp.enqueuedAt) / 1e6);
            toViewer.push_back(static_cast<double>(arrivedAt - stamp.enqueuedAt) / 1e6);
        }
        back.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    CMIODeviceStopStream(device, streams[0]);
    CMIODeviceStopStream(device, streams[1]);
    kill(provider, SIGKILL);
    waitpid(provider, nullptr, 0);

    if (toConsume.empty()) {
        std::fprintf(stderr, "no frame came back\n");
        return 1;
    }
    std::printf("1280x720 BGRA, frames paced ~3 ms apart, provider polls its sink every 1 ms; %d lost\n", lost);
    report("enqueue -> provider's consume completion", toConsume);
    report("enqueue -> arrival in the viewer's queue", toViewer);
    return 0;
}
