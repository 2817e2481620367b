// A second process for the cross-process tests and the latency measurement.
//   provider      publishes the test device and sends every frame its sink stream receives back out
//                 of its source stream (stamping when it consumed it); prints "ready"
//   hold <count>  a client that starts the test device's source stream and keeps the first frames
//                 without ever releasing them; prints "holding" once it has <count>
// Both run until killed.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/dispatch/DispatchSourceTimer.h"
#include "tests/platform/coremediaio/CMIOTestFrames.h"
#include "tests/platform/coremediaio/CMIOTestSources.h"
#include "tests/platform/coremediaio/CMIOTestSupport.h"

using namespace velunto;
using namespace velunto::cmiotest;

namespace {

[[noreturn]] void waitForever() {
    for (;;)
        pause();
}

int runProvider() {
    const DispatchQueue queue("helper.cmio.provider");
    TestExtension extension(queue);
    CMIOExtensionProvider::startServiceWithProvider(extension.provider);
    // Looks for the sink client's frames every millisecond and relays them.
    auto timer = DispatchSourceTimer::make(queue);
    timer->schedule(DispatchTime::now(), std::chrono::milliseconds(1));
    timer->setEventHandler([&extension] {
        std::optional<CMIOExtensionClient> client;
        {
            std::lock_guard lock(extension.sinkStreamSource->mutex);
            if (!extension.sinkStreamSource->authorizedClients.empty())
                client = extension.sinkStreamSource->authorizedClients.back();
        }
        if (!client)
            return;
        for (bool more = true; more;) {
            more = false;
            extension.sinkStream->consumeSampleBufferFromClient(
                *client,
                [&](CMSampleBufferRef buffer, std::uint64_t, std::uint32_t, bool hasMore, std::optional<NSError>) {
                    if (!buffer)
                        return;
                    writeConsumedAt(*buffer->imageBuffer(), monotonicNanoseconds());
                    extension.sourceStream->sendSampleBuffer(buffer, 0, monotonicNanoseconds());
                    more = hasMore;
                });
        }
    });
    timer->resume();
    std::printf("ready\n");
    std::fflush(stdout);
    waitForever();
}

int runHolder(int count) {
    CMIODeviceID device = kCMIOObjectUnknown;
    for (int attempt = 0; attempt < 1000 && device == kCMIOObjectUnknown; ++attempt) {
        device = findDevice("test.camera.6F0C");
        if (device == kCMIOObjectUnknown)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (device == kCMIOObjectUnknown)
        return 2;
    const auto streams = readArray<CMIOStreamID>(device, kCMIODevicePropertyStreams);
    std::shared_ptr<CMSimpleQueue> queue;
    if (streams.size() != 2 || CMIOStreamCopyBufferQueue(streams[0], nullptr, nullptr, &queue) != 0 ||
        CMIODeviceStartStream(device, streams[0]) != 0)
        return 3;
    while (queue->count() < count)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::printf("holding\n");
    std::fflush(stdout);
    waitForever();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "provider") == 0)
        return runProvider();
    if (argc >= 3 && std::strcmp(argv[1], "hold") == 0)
        return runHolder(std::atoi(argv[2]));
    std::fprintf(stderr, "usage: %s provider | hold <count>\n", argv[0]);
    return 64;
}
