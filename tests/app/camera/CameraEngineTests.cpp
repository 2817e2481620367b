// The camera engine with simulated cameras, the virtual camera in this process and a viewer, in
// virtual time.

#include "app/camera/CameraEngine.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "camera-extension/CameraProviderSource.h"
#include "demo/CameraViewer.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/HostClock.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/oslog/LogCapture.h"
#include "platform/sim/SimulatedCameraHardware.h"
#include "platform/sim/SimulatedCameraPattern.h"
#include "tests/platform/coremediaio/CMIOTestSupport.h"

namespace velunto {
namespace {

using namespace std::chrono_literals;

constexpr const char* kCategory = "CameraEngine";

SimulatedCameraDescription camera(std::string uniqueID, std::string name,
                                  AVCaptureDeviceType type = AVCaptureDeviceTypeExternal) {
    SimulatedCameraDescription description;
    description.uniqueID = std::move(uniqueID);
    description.name = std::move(name);
    description.deviceType = std::move(type);
    description.sizes = {{1280, 720}};
    description.clockOffsetNanoseconds = 7'000'000'000;  // the camera's clock is not the host's
    return description;
}

SimulatedCameraDescription ownCamera() {
    return camera("app.velunto.camera", "Velunto Kamera");
}

class CameraEngineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { cmiotest::usePrivateSocketDirectory(); }

    void SetUp() override {
        extension = CameraProviderSource::make();
        CMIOExtensionProvider::startServiceWithProvider(extension->provider());
        time.runUntilIdle();
    }

    void TearDown() override {
        viewer.close();
        engine.reset();
        time.runUntilIdle();
        CMIOExtensionProvider::stopService();
        time.runUntilIdle();
    }

    void start(std::vector<SimulatedCameraDescription> cameras,
               std::optional<std::string> defaultCamera = std::nullopt) {
        hardware = std::make_unique<SimulatedCameraHardware>(std::move(cameras));
        if (defaultCamera)
            hardware->setDefaultCamera(defaultCamera);
        engine = CameraEngine::make(store);
        time.runUntilIdle();
    }

    void watch() {
        ASSERT_EQ(viewer.open("Velunto Kamera", 0), 0);
        time.advance(1s);
    }

    // Capture stamps of the real frames the viewer received, with their arrival times.
    struct Seen {
        SimulatedCameraStamp stamp;
        std::uint64_t at;
    };
    std::vector<Seen> seenSince(std::size_t first = 0) {
        std::vector<Seen> seen;
        std::lock_guard lock(stampsMutex);
        for (std::size_t i = first; i < stamps.size(); ++i)
            seen.push_back(stamps[i]);
        return seen;
    }

    std::size_t logCount(const std::string& message) const { return logs.count(kCategory, message); }

    VirtualTime time;
    LogCapture logs;
    std::shared_ptr<UserDefaults> defaults = UserDefaults::inMemory();
    SettingsStore store{defaults};
    std::shared_ptr<CameraProviderSource> extension;
    std::unique_ptr<SimulatedCameraHardware> hardware;
    std::shared_ptr<CameraEngine> engine;
    CameraViewer viewer;
    std::mutex stampsMutex;
    std::vector<Seen> stamps;

    void recordStamps() {
        viewer.setFrameHandler([this](const CVPixelBuffer& frame) {
            if (const auto stamp = SimulatedCameraPattern::read(frame)) {
                std::lock_guard lock(stampsMutex);
                stamps.push_back({*stamp, HostClock::nowNanoseconds()});
            }
        });
    }
};

TEST_F(CameraEngineTest, AutomaticSkipsTheOwnVirtualCamera) {
    start({ownCamera(), camera("usb.1", "USB-Kamera"), camera("usb.2", "Dokumentenkamera")}, "app.velunto.camera");
    EXPECT_EQ(engine->availableCameras.value(),
              (std::vector<CameraInfo>{{"usb.1", "USB-Kamera"}, {"usb.2", "Dokumentenkamera"}}));
    EXPECT_EQ(engine->currentCamera(), (CameraInfo{"usb.1", "USB-Kamera"}));
    hardware->setDefaultCamera("usb.2");
    EXPECT_EQ(engine->currentCamera(), (CameraInfo{"usb.2", "Dokumentenkamera"}));
}

TEST_F(CameraEngineTest, OnlyTheOwnCameraMeansNothingRuns) {
    start({ownCamera()});
    EXPECT_TRUE(engine->availableCameras.value().empty());
    EXPECT_FALSE(engine->currentCamera());
    watch();
    time.advance(2s);
    EXPECT_TRUE(logs.contains(kCategory, "Velunto Kamera wird genutzt."));
    EXPECT_EQ(logCount("Kamera gestartet: Velunto Kamera"), 0u);
    EXPECT_FALSE(engine->isCapturing.value());
    EXPECT_FALSE(hardware->isCapturing("app.velunto.camera"));
}

TEST_F(CameraEngineTest, TheCameraRunsExactlyWhileSomebodyWatches) {
    start({camera("usb.1", "USB-Kamera")});
    time.advance(3s);
    EXPECT_FALSE(hardware->isCapturing("usb.1"));

    recordStamps();
    watch();
    EXPECT_TRUE(logs.contains(kCategory, "Velunto Kamera wird genutzt."));
    EXPECT_TRUE(logs.contains(kCategory, "Kamera gestartet: USB-Kamera"));
    EXPECT_TRUE(hardware->isCapturing("usb.1"));
    EXPECT_TRUE(engine->isCapturing.value());
    time.advance(1s);
    const auto frames = viewer.frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().width, 1920u);
    EXPECT_EQ(frames.back().height, 1080u);
    EXPECT_GE(seenSince().size(), 25u) << "camera frames, converted and scaled, with readable stamps";

    viewer.close();
    time.advance(1s);  // the next poll
    EXPECT_TRUE(logs.contains(kCategory, "Velunto Kamera wird nicht mehr genutzt."));
    EXPECT_FALSE(hardware->isCapturing("usb.1"));
    EXPECT_FALSE(engine->isCapturing.value());
}

TEST_F(CameraEngineTest, AChosenCameraUnpluggedIsNotReplacedAndComesBack) {
    start({camera("usb.1", "USB-Kamera"), camera("usb.2", "Dokumentenkamera")});
    engine->setSelection(CameraSelection::device("usb.2"));
    watch();
    EXPECT_TRUE(hardware->isCapturing("usb.2"));

    hardware->unplug("usb.2");
    time.advance(1s);
    EXPECT_FALSE(engine->currentCamera());
    EXPECT_FALSE(engine->isCapturing.value());
    EXPECT_FALSE(hardware->isCapturing("usb.1"));

    hardware->plug(camera("usb.2", "Dokumentenkamera"));
    time.advance(1s);
    EXPECT_TRUE(hardware->isCapturing("usb.2"));
    EXPECT_TRUE(engine->isCapturing.value());
    EXPECT_EQ(logCount("Kamera gestartet: Dokumentenkamera"), 2u);
    EXPECT_EQ(store.loadCameraSelection(), CameraSelection::device("usb.2"));
}

TEST_F(CameraEngineTest, SettingTheSameSelectionNeitherSavesNorRestarts) {
    start({camera("usb.1", "USB-Kamera")});
    watch();
    ASSERT_EQ(logCount("Kamera gestartet: USB-Kamera"), 1u);
    engine->setSelection(CameraSelection::automatic());
    time.advance(1s);
    EXPECT_FALSE(defaults->object(rawValue(SettingsKey::cameraSelection)));
    EXPECT_EQ(logCount("Kamera gestartet: USB-Kamera"), 1u);

    // Switching cameras while watched restarts with the other one.
    SimulatedCameraDescription second = camera("usb.2", "Dokumentenkamera");
    hardware->plug(second);
    time.advance(1s);
    engine->setSelection(CameraSelection::device("usb.2"));
    time.advance(1s);
    EXPECT_TRUE(hardware->isCapturing("usb.2"));
    EXPECT_FALSE(hardware->isCapturing("usb.1"));
    EXPECT_TRUE(engine->isCapturing.value());
}

TEST_F(CameraEngineTest, CutDelayDropsTheOverlapThenFlowsInOrder) {
    start({camera("usb.1", "USB-Kamera")});
    engine->setDelay(300);
    recordStamps();
    watch();
    time.advance(1s);
    const auto before = seenSince();
    ASSERT_GE(before.size(), 20u);
    for (const auto& frame : before) {
        const double late = static_cast<double>(frame.at - frame.stamp.captureHostNanoseconds) / 1e6;
        EXPECT_GE(late, 300.0);
        EXPECT_LE(late, 300.0 + 34.0);  // up to one frame for the sink poll and the fill-in
    }

    engine->setDelay(100);
    time.advance(1s);
    const auto after = seenSince(before.size());
    ASSERT_GE(after.size(), 10u);
    std::uint32_t previous = before.back().stamp.frameNumber;
    std::uint32_t largestGap = 0;
    for (const auto& frame : after) {
        ASSERT_GT(frame.stamp.frameNumber, previous);
        largestGap = std::max(largestGap, frame.stamp.frameNumber - previous);
        previous = frame.stamp.frameNumber;
    }
    // About 200 ms of frames (6 at 30 per second) never go out.
    EXPECT_GE(largestGap, 6u);
    EXPECT_LE(largestGap, 8u);
    const double late = static_cast<double>(after.back().at - after.back().stamp.captureHostNanoseconds) / 1e6;
    EXPECT_GE(late, 100.0);
    EXPECT_LE(late, 134.0);
}

TEST_F(CameraEngineTest, ZeroAndNegativeDelaysSendAtOnce) {
    start({camera("usb.1", "USB-Kamera")});
    recordStamps();
    for (const double delay : {0.0, -250.0}) {
        engine->setDelay(delay);
        watch();
        time.advance(1s);
        const auto seen = seenSince();
        ASSERT_FALSE(seen.empty()) << delay;
        for (const auto& frame : seen)
            EXPECT_LE(frame.at - frame.stamp.captureHostNanoseconds, 34'000'000u) << delay;
        viewer.close();
        time.advance(2s);
        std::lock_guard lock(stampsMutex);
        stamps.clear();
    }
}

TEST_F(CameraEngineTest, ALongDelayCutToZeroAndBackStaysInOrder) {
    start({camera("usb.1", "USB-Kamera")});
    engine->setDelay(2000);
    recordStamps();
    watch();
    time.advance(3s);
    const auto held = seenSince();
    ASSERT_FALSE(held.empty());
    EXPECT_GE(held.front().at - held.front().stamp.captureHostNanoseconds, 2'000'000'000u);

    engine->setDelay(0);
    time.advance(3s);
    engine->setDelay(2000);
    time.advance(3s);
    const auto seen = seenSince();
    for (std::size_t i = 1; i < seen.size(); ++i)
        ASSERT_LT(seen[i - 1].stamp.frameNumber, seen[i].stamp.frameNumber) << i;
    // Frames at 0 ms came through between the two long stretches.
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](const Seen& frame) {
        return frame.at - frame.stamp.captureHostNanoseconds < 34'000'000u;
    }));
    EXPECT_GE(seen.back().at - seen.back().stamp.captureHostNanoseconds, 2'000'000'000u);
}

TEST_F(CameraEngineTest, AccessRefusedThenAllowed) {
    start({camera("usb.1", "USB-Kamera")});
    hardware->setAuthorizationStatus(AVAuthorizationStatus::notDetermined);
    hardware->setAccessAnswer(false);
    watch();
    time.advance(1s);
    EXPECT_TRUE(engine->isAccessDenied.value());
    EXPECT_FALSE(engine->isCapturing.value());
    EXPECT_FALSE(hardware->isCapturing("usb.1"));

    // Allowed later in the system settings; the next device change retries.
    hardware->setAuthorizationStatus(AVAuthorizationStatus::authorized);
    hardware->plug(camera("usb.2", "Dokumentenkamera"));
    time.advance(1s);
    EXPECT_FALSE(engine->isAccessDenied.value());
    EXPECT_TRUE(engine->isCapturing.value());
    EXPECT_TRUE(hardware->isCapturing("usb.1"));
}

TEST_F(CameraEngineTest, ChangingCameraSizesAndAVanishingExtensionAreHarmless) {
    start({camera("usb.1", "USB-Kamera")});
    engine->setDelay(250);
    watch();
    hardware->setFrameSize("usb.1", 640, 480);
    time.advance(1s);
    const auto frames = viewer.frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().width, 1920u);
    // Pillarboxed: black at the left edge, picture in the middle.
    ASSERT_TRUE(viewer.lastFrame());
    EXPECT_EQ(CameraViewer::pixel(*viewer.lastFrame(), 10, 540), 0xFF000000u);

    // The extension's process goes away with frames still scheduled.
    CMIOExtensionProvider::stopService();
    time.advance(2s);
    EXPECT_FALSE(engine->client().deviceID());
    EXPECT_FALSE(hardware->isCapturing("usb.1")) << "nobody can watch a camera that is gone";
}

}  // namespace
}  // namespace velunto
