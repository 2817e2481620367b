// Feeds "Velunto Kamera" the way the application does: connects through the virtual camera client and
// enqueues a numbered test pattern on the sink stream at a steady rate.
//
//   velunto-camera-feeder [--seconds N] [--size WxH] [--fps F]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "app/camera/VirtualCameraClient.h"
#include "demo/TestPattern.h"
#include "platform/corevideo/CVPixelBufferPool.h"
#include "platform/dispatch/DispatchSourceTimer.h"
#include "platform/dispatch/HostClock.h"

using namespace velunto;

int main(int argc, char** argv) {
    double seconds = 5;
    double fps = 30;
    std::size_t width = 1920, height = 1080;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--fps") == 0)
            fps = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--size") == 0)
            std::sscanf(argv[i + 1], "%zux%zu", &width, &height);
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::shared_ptr<CVPixelBufferPool> pool;
    if (fps <= 0 || CVPixelBufferPool::create({kCVPixelFormatType_32BGRA, width, height}, &pool) != kCVReturnSuccess) {
        std::fprintf(stderr, "Ungültige Bildgröße oder Bildrate.\n");
        return 2;
    }

    const DispatchQueue queue("demo.camera.feeder");
    std::shared_ptr<VirtualCameraClient> client;
    queue.sync([&] { client = VirtualCameraClient::make(queue); });
    std::atomic<std::uint64_t> fed{0}, dropped{0}, notConnected{0};
    auto timer = DispatchSourceTimer::make(queue);
    timer->schedule(DispatchTime::now(), std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / fps)));
    timer->setEventHandler([&] {
        if (!client->connectIfNeeded()) {
            notConnected.fetch_add(1);
            return;
        }
        const auto& sink = client->bufferQueue();
        if (sink->count() >= sink->capacity()) {
            dropped.fetch_add(1);
            return;
        }
        std::shared_ptr<CVPixelBuffer> frame;
        std::shared_ptr<const CMVideoFormatDescription> description;
        CMSampleBufferRef sample;
        if (pool->createPixelBuffer(&frame) != kCVReturnSuccess)
            return;
        TestPattern::paint(*frame, fed.load(), HostClock::nowNanoseconds());
        if (CMVideoFormatDescription::createForImageBuffer(*frame, &description) != 0 ||
            CMSampleBuffer::createReadyWithImageBuffer(
                frame, description, {CMTimeMake(1, 30), kCMTimeInvalid, kCMTimeInvalid}, &sample) != 0)
            return;
        if (sink->enqueue(std::move(sample)) == noErr)
            fed.fetch_add(1);
    });
    timer->resume();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    timer->cancel();
    queue.sync([&] {
        client->disconnect();
        client.reset();
    });
    if (fed.load() == 0) {
        std::fprintf(stderr, "Velunto Kamera nicht gefunden: nichts eingespeist.\n");
        return 1;
    }
    std::printf("%llu Bilder %zu × %zu eingespeist, %llu verworfen (Warteschlange voll).\n",
                static_cast<unsigned long long>(fed.load()), width, height,
                static_cast<unsigned long long>(dropped.load()));
    return 0;
}
