// The camera extension, a feeder and a viewer as three processes, in real time.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "demo/CameraViewer.h"
#include "demo/TestPattern.h"
#include "platform/coremediaio/CMIOExtensionProvider.h"
#include "tests/platform/coremediaio/CMIOTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace velunto {
namespace {

using namespace std::chrono_literals;

template <class Predicate>
bool waitUntil(Predicate predicate, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// What the viewer saw of the feeder's pattern.
struct Received {
    std::mutex mutex;
    std::vector<std::uint64_t> numbers;
    std::size_t torn = 0;
    void add(const CVPixelBuffer& frame) {
        if (CameraViewer::pixel(frame, frame.width() / 2, frame.height() / 2) == 0xFF000000u)
            return;  // black fill
        std::lock_guard lock(mutex);
        numbers.push_back(TestPattern::number(frame));
        torn += TestPattern::isWhole(frame) ? 0 : 1;
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return numbers.size();
    }
};

TEST(CameraProcesses, FedFramesReachAViewerWholeAndInOrderAcrossARestart) {
    cmiotest::usePrivateSocketDirectory();
    const std::string directory = getenv("XDG_RUNTIME_DIR");
    auto extension = std::make_unique<ChildProcess>(VELUNTO_CAMERA_EXTENSION, std::vector<std::string>{},
                                                    directory + "/extension.log");
    // Long enough for a slowed (sanitized, loaded) run to see the restart before the feeder ends.
    ChildProcess feeder(VELUNTO_CAMERA_FEEDER, {"--seconds", "12"}, directory + "/feeder.log");

    Received received;
    CameraViewer viewer;
    viewer.setFrameHandler([&](const CVPixelBuffer& frame) { received.add(frame); });
    ASSERT_TRUE(waitUntil([&] { return viewer.open("Velunto Kamera", 0) == 0; }));
    ASSERT_TRUE(waitUntil([&] { return received.count() >= 20; })) << feeder.output();

    // The camera's process dies and comes back; the feeder and the viewer find it again.
    extension->kill();
    const std::size_t beforeRestart = received.count();
    extension = std::make_unique<ChildProcess>(VELUNTO_CAMERA_EXTENSION, std::vector<std::string>{},
                                               directory + "/extension2.log");
    ASSERT_TRUE(waitUntil([&] { return viewer.open("Velunto Kamera", 0) == 0; }));
    ASSERT_TRUE(waitUntil([&] { return received.count() >= beforeRestart + 20; })) << feeder.output();
    viewer.close();

    EXPECT_EQ(feeder.wait(), 0) << feeder.output();
    EXPECT_NE(feeder.output().find("CMIO-Geräteliste geändert, verbinde neu."), std::string::npos) << feeder.output();
    EXPECT_NE(extension->output().find("Sink-Stream gestartet."), std::string::npos) << extension->output();

    std::lock_guard lock(received.mutex);
    EXPECT_EQ(received.torn, 0u);
    for (std::size_t i = 1; i < received.numbers.size(); ++i)
        ASSERT_LT(received.numbers[i - 1], received.numbers[i]) << "frame " << i;
    CMIOExtensionProvider::stopService();
}

}  // namespace
}  // namespace velunto
