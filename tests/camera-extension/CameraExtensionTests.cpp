// The virtual camera with a viewer and the application's client in one process, in virtual time.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "app/camera/VirtualCameraClient.h"
#include "camera-extension/CameraProviderSource.h"
#include "demo/CameraViewer.h"
#include "platform/dispatch/HostClock.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/oslog/LogCapture.h"
#include "platform/v4l2/V4L2FakeKernel.h"
#include "tests/platform/coremediaio/CMIOTestSupport.h"

namespace velunto {
namespace {

using namespace cmiotest;
using namespace std::chrono_literals;

constexpr std::uint32_t kBlack = 0xFF000000u;
constexpr std::uint32_t kOrange = 0xFFFF8000u;  // BGRA in memory: 00 80 FF FF

std::shared_ptr<CVPixelBuffer> solid(std::size_t width, std::size_t height, std::uint32_t colour,
                                     std::size_t bytesPerRow = 0) {
    std::shared_ptr<CVPixelBuffer> buffer;
    const CVReturn made = bytesPerRow ? CVPixelBuffer::createWithBytesPerRow(width, height, kCVPixelFormatType_32BGRA,
                                                                             bytesPerRow, &buffer)
                                      : CVPixelBuffer::create(width, height, kCVPixelFormatType_32BGRA, &buffer);
    EXPECT_EQ(made, kCVReturnSuccess);
    for (std::size_t y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(static_cast<std::uint8_t*>(buffer->baseAddress()) +
                                                     y * buffer->bytesPerRow());
        std::fill(row, row + width, colour);
    }
    return buffer;
}

// Scaling may move a channel by a level or two.
bool near(std::uint32_t word, std::uint32_t expected) {
    for (int shift = 0; shift < 32; shift += 8) {
        const int a = static_cast<int>((word >> shift) & 0xFF), b = static_cast<int>((expected >> shift) & 0xFF);
        if (std::abs(a - b) > 3)
            return false;
    }
    return true;
}

CMSampleBufferRef sample(std::shared_ptr<CVPixelBuffer> buffer) {
    std::shared_ptr<const CMVideoFormatDescription> description;
    EXPECT_EQ(CMVideoFormatDescription::createForImageBuffer(*buffer, &description), 0);
    CMSampleBufferRef sampleBuffer;
    EXPECT_EQ(CMSampleBuffer::createReadyWithImageBuffer(
                  std::move(buffer), description, {CMTimeMake(1, 30), kCMTimeInvalid, kCMTimeInvalid}, &sampleBuffer),
              0);
    return sampleBuffer;
}

class CameraExtensionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { usePrivateSocketDirectory(); }

    void SetUp() override {
        extension = CameraProviderSource::make();
        CMIOExtensionProvider::startServiceWithProvider(extension->provider());
        time.runUntilIdle();
        device = findDevice("app.velunto.camera");
        ASSERT_NE(device, kCMIOObjectUnknown);
        const auto streams = readArray<CMIOStreamID>(device, kCMIODevicePropertyStreams);
        ASSERT_EQ(streams.size(), 2u);
        sourceStream = streams[0];
        sinkStream = streams[1];
    }

    void TearDown() override {
        client.reset();
        CMIOExtensionProvider::stopService();
        time.runUntilIdle();
    }

    void startViewer() {
        ASSERT_EQ(viewer.open("Velunto Kamera", 0), 0);
        time.runUntilIdle();
    }

    std::vector<CameraViewer::Frame> frames() const { return viewer.frames(); }
    std::uint32_t pixel(std::size_t x, std::size_t y) const { return CameraViewer::pixel(*viewer.lastFrame(), x, y); }
    bool lastFrameIsBlack() const { return CameraViewer::everyPixelIs(*viewer.lastFrame(), kBlack); }

    // The application's client, connected to the sink stream.
    void connectFeeder() {
        client = VirtualCameraClient::make(clientQueue);
        ASSERT_TRUE(client->connectIfNeeded());
        time.runUntilIdle();
    }

    void feed(std::shared_ptr<CVPixelBuffer> buffer) {
        ASSERT_EQ(client->bufferQueue()->enqueue(sample(std::move(buffer))), noErr);
    }

    // Feeds a 1920 x 1080 frame every 33 ms for the given time.
    void feedFor(std::chrono::milliseconds duration) {
        for (auto fed = 0ms; fed < duration; fed += 33ms) {
            feed(solid(1920, 1080, kOrange));
            time.advance(33ms);
        }
    }

    std::uint64_t now() const { return HostClock::nowNanoseconds(); }

    VirtualTime time;
    LogCapture logs;
    DispatchQueue clientQueue{"test.camera.client"};
    std::shared_ptr<CameraProviderSource> extension;
    std::shared_ptr<VirtualCameraClient> client;
    CameraViewer viewer;
    CMIOObjectID device = kCMIOObjectUnknown;
    CMIOStreamID sourceStream = kCMIOObjectUnknown;
    CMIOStreamID sinkStream = kCMIOObjectUnknown;
};

TEST_F(CameraExtensionTest, PublishesTheVirtualCameraAsSeenByAnyApplication) {
    EXPECT_EQ(readString(device, kCMIOObjectPropertyName), "Velunto Kamera");
    EXPECT_EQ(readString(device, kCMIODevicePropertyModelUID), "Velunto Kamera");
    EXPECT_EQ(readValue<UInt32>(device, kCMIODevicePropertyTransportType), UInt32{'virt'});
    EXPECT_EQ(readString(device, 'vnsa'), "0");
    EXPECT_EQ(readString(sourceStream, kCMIOObjectPropertyName), "Velunto Kamera");
    EXPECT_EQ(readString(sinkStream, kCMIOObjectPropertyName), "Velunto Kamera Einspeisung");
    EXPECT_EQ(readValue<UInt32>(sinkStream, kCMIOStreamPropertyDirection), UInt32{kCMIOStreamDirectionSink});

    const auto formats = readArray<CMIOStreamFormat>(sourceStream, kCMIOStreamPropertyFormatDescriptions);
    ASSERT_EQ(formats.size(), 2u);
    EXPECT_EQ(formats[0], (CMIOStreamFormat{'BGRA', 1920, 1080}));
    EXPECT_EQ(formats[1], (CMIOStreamFormat{'BGRA', 1280, 720}));
    EXPECT_EQ(readArray<CMIOStreamFormat>(sinkStream, kCMIOStreamPropertyFormatDescriptions),
              std::vector<CMIOStreamFormat>{(CMIOStreamFormat{'BGRA', 1920, 1080})});
    EXPECT_DOUBLE_EQ(readValue<Float64>(sourceStream, kCMIOStreamPropertyFrameRate), 30.0);
}

TEST_F(CameraExtensionTest, NobodyFeedingGivesBlackFullHDAtThirtyPerSecond) {
    startViewer();
    EXPECT_EQ(readString(device, 'vnsa'), "1");
    EXPECT_TRUE(logs.contains("CameraExtension", "Source-Stream gestartet (1 Clients)."));
    time.advance(990ms);
    // Ticks at 0, 33, ..., 990 ms.
    ASSERT_EQ(frames().size(), 31u);
    for (const auto& frame : frames()) {
        EXPECT_EQ(frame.width, 1920u);
        EXPECT_EQ(frame.height, 1080u);
        EXPECT_EQ(frame.centre, kBlack);
    }
    ASSERT_TRUE(viewer.lastFrame());
    EXPECT_TRUE(lastFrameIsBlack());

    viewer.close();
    time.runUntilIdle();
    EXPECT_EQ(readString(device, 'vnsa'), "0");
    EXPECT_TRUE(logs.contains("CameraExtension", "Source-Stream gestoppt (0 Clients)."));
    const std::size_t count = frames().size();
    time.advance(500ms);
    EXPECT_EQ(frames().size(), count);
}

TEST_F(CameraExtensionTest, FormatOneLetterboxesToHDAndOddFeedsStillGiveWholeFrames) {
    ASSERT_EQ(viewer.open("Velunto Kamera", 1), 0);
    EXPECT_EQ(readValue<CMIOStreamFormat>(sourceStream, kCMIOStreamPropertyFormatDescription),
              (CMIOStreamFormat{'BGRA', 1280, 720}));
    time.advance(10ms);
    ASSERT_EQ(frames().size(), 1u);
    EXPECT_EQ(frames()[0].width, 1280u);
    EXPECT_TRUE(lastFrameIsBlack());

    connectFeeder();
    EXPECT_TRUE(logs.contains("CameraExtension", "Sink-Stream gestartet."));
    // 4:3 into 16:9: bars left and right, the picture in between.
    feed(solid(640, 480, kOrange));
    time.advance(10ms);
    ASSERT_EQ(frames().size(), 2u);
    EXPECT_EQ(frames()[1].width, 1280u);
    EXPECT_TRUE(near(frames()[1].centre, kOrange));
    EXPECT_EQ(pixel(100, 360), kBlack);
    EXPECT_EQ(pixel(1180, 360), kBlack);
    EXPECT_TRUE(near(pixel(640, 5), kOrange));

    // A full-size frame scales down; odd sizes and padded rows pass without harm.
    struct Feed {
        std::size_t width, height, bytesPerRow;
        bool centred;  // a 4097 x 3 picture is one row high, above the centre
    };
    for (const Feed& odd : {Feed{1920, 1080, 0, true}, Feed{1, 1, 0, true}, Feed{4097, 3, 0, false},
                            Feed{1280, 720, 1280 * 4 + 192, true}}) {
        SCOPED_TRACE(testing::Message() << odd.width << "x" << odd.height);
        feed(solid(odd.width, odd.height, kOrange, odd.bytesPerRow));
        time.advance(10ms);
        const auto last = frames().back();
        EXPECT_EQ(last.width, 1280u);
        EXPECT_EQ(last.height, 720u);
        EXPECT_TRUE(near(last.centre, odd.centred ? kOrange : kBlack));
    }
    EXPECT_EQ(frames().size(), 6u);
}

TEST_F(CameraExtensionTest, FormatIndexOutOfRangeChangesNothing) {
    const auto& deviceSource = extension->deviceSource();
    for (const std::int64_t index : {2, -1, 1 << 20}) {
        CMIOExtensionStreamProperties properties;
        properties.activeFormatIndex = index;
        extension->queue().sync([&] { deviceSource->sourceStream()->setStreamProperties(properties, nullptr); });
        EXPECT_EQ(deviceSource->activeFormatIndex(), 0) << index;
    }
    // The sink stream has no say over the active format.
    CMIOExtensionStreamProperties one;
    one.activeFormatIndex = 1;
    extension->queue().sync([&] { deviceSource->sinkStream()->setStreamProperties(one, nullptr); });
    EXPECT_EQ(deviceSource->activeFormatIndex(), 0);
    EXPECT_EQ(readValue<CMIOStreamFormat>(sourceStream, kCMIOStreamPropertyFormatDescription).width, 1920);
}

TEST_F(CameraExtensionTest, ClientCountDecidesTheCustomProperty) {
    const auto& deviceSource = extension->deviceSource();
    auto run = [&](auto step) { extension->queue().sync([&] { step(*deviceSource->sourceStream()); }); };
    run([](CameraStreamSource& s) { s.startStream(nullptr); });
    run([](CameraStreamSource& s) { s.startStream(nullptr); });
    run([](CameraStreamSource& s) { s.stopStream(nullptr); });
    EXPECT_EQ(readString(device, 'vnsa'), "1");
    EXPECT_TRUE(logs.contains("CameraExtension", "Source-Stream gestartet (2 Clients)."));
    EXPECT_TRUE(logs.contains("CameraExtension", "Source-Stream gestoppt (1 Clients)."));
    run([](CameraStreamSource& s) { s.stopStream(nullptr); });
    run([](CameraStreamSource& s) { s.stopStream(nullptr); });
    EXPECT_EQ(deviceSource->sourceClientCount(), 0);
    EXPECT_EQ(readString(device, 'vnsa'), "0");
    EXPECT_EQ(logs.count("CameraExtension", "Source-Stream gestoppt (0 Clients)."), 2u);
}

TEST_F(CameraExtensionTest, BlackFillsOnlyFeedPausesLongerThan200Milliseconds) {
    startViewer();
    connectFeeder();
    feedFor(330ms);
    viewer.clearFrames();

    // 150 ms without a frame: no black frame.
    time.advance(150ms - 33ms);
    feedFor(330ms);
    for (const auto& frame : frames())
        EXPECT_EQ(frame.centre, kOrange);
    EXPECT_FALSE(frames().empty());

    // 250 ms without a frame: black from 200 ms on, until the next real frame.
    const std::uint64_t lastReal = frames().back().at;
    viewer.clearFrames();
    time.advance(250ms - 33ms);
    feedFor(100ms);
    const auto gap = frames();
    ASSERT_FALSE(gap.empty());
    std::size_t black = 0;
    while (black < gap.size() && gap[black].centre == kBlack)
        ++black;
    ASSERT_GE(black, 1u);
    EXPECT_GT(gap[0].at - lastReal, 200'000'000u);
    EXPECT_LE(gap[0].at - lastReal, 233'000'000u);
    for (std::size_t i = black; i < gap.size(); ++i)
        EXPECT_EQ(gap[i].centre, kOrange) << i;
}

TEST_F(CameraExtensionTest, FramesFedWhileNobodyWatchesAreAcknowledgedAndDropped) {
    connectFeeder();
    for (int i = 0; i < 10; ++i) {
        feed(solid(1920, 1080, kOrange));
        time.advance(33ms);
        EXPECT_EQ(client->bufferQueue()->count(), 0) << "the sink is consumed without viewers";
    }
    startViewer();
    time.advance(5ms);
    ASSERT_EQ(frames().size(), 1u);
    EXPECT_EQ(frames()[0].centre, kBlack);
}

// Programs that only know V4L2 cameras watch through a v4l2loopback device.
class CameraExtensionLoopbackTest : public CameraExtensionTest {
protected:
    void attach() {
        extension->queue().sync(
            [&] { extension->deviceSource()->attachLoopback(std::make_unique<V4L2LoopbackOutput>(kernel)); });
        time.runUntilIdle();
    }
    bool watched() {
        return extension->queue().sync([&] { return extension->deviceSource()->isLoopbackWatched(); });
    }
    std::size_t written() const { return kernel->writtenFrames("/dev/video7").size(); }

    std::shared_ptr<V4L2FakeKernel> kernel = std::make_shared<V4L2FakeKernel>();
};

TEST_F(CameraExtensionLoopbackTest, ItsReadersCountAsWatchersAndGetThePicture) {
    V4L2FakeDevice loopback = V4L2FakeDevice::loopback("/dev/video7", "Velunto Kamera");
    loopback.clientUsageEvents = true;
    kernel->plug(loopback);
    attach();
    EXPECT_TRUE(logs.contains("CameraExtension", "Velunto Kamera schreibt auch nach /dev/video7 (Velunto Kamera)."));
    time.advance(500ms);
    EXPECT_FALSE(watched());
    EXPECT_EQ(written(), 0u) << "nobody reads: no picture, and the application need not capture";
    EXPECT_EQ(readString(device, 'vnsa'), "0");

    kernel->setReaderCount("/dev/video7", 1);
    time.advance(300ms);
    EXPECT_TRUE(watched());
    EXPECT_EQ(readString(device, 'vnsa'), "1") << "the application starts its camera for the reader";
    EXPECT_GT(written(), 0u) << "black while nothing is fed";
    const auto state = kernel->outputState("/dev/video7");
    ASSERT_TRUE(state);
    EXPECT_EQ(state->format.width, 1920u);
    EXPECT_EQ(state->format.height, 1080u);

    // A fed frame arrives there too (orange: Y well above black's 16).
    connectFeeder();
    feedFor(200ms);
    const auto frame = kernel->writtenFrames("/dev/video7").back();
    ASSERT_EQ(frame.size(), 1920u * 1080 * 2);
    EXPECT_GT(frame[2 * (540 * 1920 + 960)], 100);

    kernel->setReaderCount("/dev/video7", 0);
    time.advance(300ms);
    EXPECT_FALSE(watched());
    EXPECT_EQ(readString(device, 'vnsa'), "0");
    const std::size_t before = written();
    time.advance(500ms);
    EXPECT_EQ(written(), before);
}

TEST_F(CameraExtensionLoopbackTest, WithoutADeviceItSaysSoOnceAndCarriesOn) {
    attach();
    time.advance(1s);
    std::size_t said = 0;
    for (const auto& entry : logs.entries("CameraExtension"))
        said += entry.message.rfind("Kein v4l2loopback-Gerät (no v4l2loopback output device found", 0) == 0 ? 1 : 0;
    EXPECT_EQ(said, 1u);
    startViewer();
    time.advance(200ms);
    EXPECT_FALSE(frames().empty()) << "the camera itself still works";
}

}  // namespace
}  // namespace velunto
