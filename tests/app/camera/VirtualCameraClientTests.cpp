// The application's client of the virtual camera against test devices, in virtual time.

#include "app/camera/VirtualCameraClient.h"

#include <gtest/gtest.h>

#include "platform/dispatch/VirtualTime.h"
#include "platform/oslog/LogCapture.h"
#include "tests/platform/coremediaio/CMIOTestSources.h"
#include "tests/platform/coremediaio/CMIOTestSupport.h"

namespace velunto {
namespace {

using namespace cmiotest;

constexpr const char* kCategory = "VirtualCamera";

// A device that publishes no 'vnsa' property.
class SilentDeviceSource : public TestDeviceSource {
public:
    using TestDeviceSource::TestDeviceSource;
    std::set<std::string> availableProperties() override { return {CMIOExtensionPropertyDeviceModel}; }
};

class VirtualCameraClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { usePrivateSocketDirectory(); }

    void TearDown() override {
        client.reset();
        CMIOExtensionProvider::stopService();
        time.runUntilIdle();
    }

    // A camera named "Velunto Kamera" (under a UID of its own) with a source and a sink stream.
    TestExtension& publish(const char* deviceID = "0A0A0A0A-1D3A-4C5B-9E8F-7A6B5C4D3E2F") {
        extension = std::make_unique<TestExtension>(providerQueue, deviceID, "Velunto Kamera");
        CMIOExtensionProvider::startServiceWithProvider(extension->provider);
        time.runUntilIdle();
        return *extension;
    }

    std::shared_ptr<VirtualCameraClient> makeClient() {
        client = VirtualCameraClient::make(clientQueue);
        return client;
    }

    std::size_t logCount() const { return logs.entries(kCategory).size(); }

    VirtualTime time;
    LogCapture logs;
    DispatchQueue providerQueue{"test.cmio.provider"};
    DispatchQueue clientQueue{"test.camera.client"};
    std::unique_ptr<TestExtension> extension;
    std::shared_ptr<VirtualCameraClient> client;
};

TEST_F(VirtualCameraClientTest, WithoutTheCameraEveryPollIsFalseAndQuiet) {
    auto camera = makeClient();
    for (int poll = 0; poll < 3; ++poll) {
        EXPECT_FALSE(camera->connectIfNeeded());
        EXPECT_FALSE(camera->isSourceActive());
    }
    EXPECT_FALSE(camera->bufferQueue());
    EXPECT_EQ(logCount(), 0u);
}

TEST_F(VirtualCameraClientTest, ConnectsByNameStartsTheSinkAndReadsWatchers) {
    auto& camera = publish();
    auto virtualCamera = makeClient();
    ASSERT_TRUE(virtualCamera->connectIfNeeded());
    const auto device = findDevice("test.camera.0A0A");
    const auto streams = readArray<CMIOStreamID>(device, kCMIODevicePropertyStreams);
    EXPECT_EQ(virtualCamera->deviceID(), device);
    EXPECT_EQ(virtualCamera->sinkStreamID(), streams.at(1));
    ASSERT_TRUE(virtualCamera->bufferQueue());
    EXPECT_EQ(virtualCamera->bufferQueue()->capacity(), 2);
    EXPECT_EQ(camera.sinkStreamSource->startCount.load(), 1);
    EXPECT_TRUE(logs.contains(kCategory, "Mit Velunto Kamera verbunden (Gerät " + std::to_string(device) + ", Sink " +
                                             std::to_string(streams.at(1)) + ")."));

    // Connected and alive: nothing new.
    EXPECT_TRUE(virtualCamera->connectIfNeeded());
    EXPECT_EQ(camera.sinkStreamSource->startCount.load(), 1);
    EXPECT_EQ(logCount(), 1u);

    for (const auto& [label, watched] : {std::pair{"0", false}, std::pair{"1", true}, std::pair{"ja", false},
                                         std::pair{"", false}, std::pair{"11", false}}) {
        camera.deviceSource->label = label;
        EXPECT_EQ(virtualCamera->isSourceActive(), watched) << '"' << label << '"';
    }

    virtualCamera->disconnect();
    EXPECT_EQ(camera.sinkStreamSource->stopCount.load(), 1);
    EXPECT_FALSE(virtualCamera->deviceID());
    EXPECT_FALSE(virtualCamera->bufferQueue());
    // Disconnected, it still finds the device to ask.
    camera.deviceSource->label = "1";
    EXPECT_TRUE(virtualCamera->isSourceActive());
}

TEST_F(VirtualCameraClientTest, ReconnectsAfterTheCamerasProcessRestarts) {
    publish();
    auto virtualCamera = makeClient();
    ASSERT_TRUE(virtualCamera->connectIfNeeded());
    const auto oldDevice = *virtualCamera->deviceID();

    CMIOExtensionProvider::stopService();
    time.runUntilIdle();
    EXPECT_TRUE(logs.contains(kCategory, "CMIO-Geräteliste geändert, verbinde neu."));
    EXPECT_FALSE(virtualCamera->deviceID());
    EXPECT_FALSE(virtualCamera->connectIfNeeded());

    auto& restarted = publish();
    ASSERT_TRUE(virtualCamera->connectIfNeeded());
    EXPECT_NE(*virtualCamera->deviceID(), oldDevice);
    EXPECT_EQ(restarted.sinkStreamSource->startCount.load(), 1);

    // Another device coming and going while ours stays alive is no reason to reconnect.
    logs.clear();
    TestExtension other(providerQueue, "0B0B0B0B-1D3A-4C5B-9E8F-7A6B5C4D3E2F", "Andere Kamera");
    ASSERT_TRUE(restarted.provider->addDevice(other.device, nullptr));
    time.runUntilIdle();
    EXPECT_EQ(logCount(), 0u);
    EXPECT_TRUE(virtualCamera->deviceID());
}

TEST_F(VirtualCameraClientTest, RejectsADeviceWithoutASinkStream) {
    QueueCheck check(providerQueue);
    auto providerSource = std::make_shared<TestProviderSource>(check);
    auto provider = CMIOExtensionProvider::make(providerSource, providerQueue);
    auto deviceSource = std::make_shared<TestDeviceSource>(check);
    auto device = CMIOExtensionDevice::make("Velunto Kamera", kDeviceID, "app.velunto.camera", deviceSource);
    auto streamSource = std::make_shared<TestStreamSource>(check, CMIOExtensionStreamDirection::source);
    ASSERT_TRUE(device->addStream(
        CMIOExtensionStream::make("Velunto Kamera", kSourceStreamID, CMIOExtensionStreamDirection::source,
                                  CMIOExtensionStreamClockType::hostTime, streamSource),
        nullptr));
    ASSERT_TRUE(provider->addDevice(device, nullptr));
    CMIOExtensionProvider::startServiceWithProvider(provider);
    time.runUntilIdle();

    auto virtualCamera = makeClient();
    EXPECT_FALSE(virtualCamera->connectIfNeeded());
    EXPECT_FALSE(virtualCamera->connectIfNeeded());
    EXPECT_EQ(logs.count(kCategory, "Sink-Stream der Velunto Kamera nicht gefunden."), 2u);
    EXPECT_FALSE(virtualCamera->deviceID());
}

TEST_F(VirtualCameraClientTest, UnreadableActivityFallsBackToRunningSomewhereAndSaysSoOnce) {
    QueueCheck check(providerQueue);
    auto providerSource = std::make_shared<TestProviderSource>(check);
    auto provider = CMIOExtensionProvider::make(providerSource, providerQueue);
    auto device = CMIOExtensionDevice::make("Velunto Kamera", kDeviceID, "app.velunto.camera",
                                            std::make_shared<SilentDeviceSource>(check));
    auto source = std::make_shared<TestStreamSource>(check, CMIOExtensionStreamDirection::source);
    auto sink = std::make_shared<TestStreamSource>(check, CMIOExtensionStreamDirection::sink);
    ASSERT_TRUE(device->addStream(
        CMIOExtensionStream::make("Velunto Kamera", kSourceStreamID, CMIOExtensionStreamDirection::source,
                                  CMIOExtensionStreamClockType::hostTime, source),
        nullptr));
    ASSERT_TRUE(device->addStream(
        CMIOExtensionStream::make("Velunto Kamera Einspeisung", kSinkStreamID, CMIOExtensionStreamDirection::sink,
                                  CMIOExtensionStreamClockType::hostTime, sink),
        nullptr));
    ASSERT_TRUE(provider->addDevice(device, nullptr));
    CMIOExtensionProvider::startServiceWithProvider(provider);
    time.runUntilIdle();

    auto virtualCamera = makeClient();
    EXPECT_FALSE(virtualCamera->isSourceActive());
    // The application's own sink stream counts as running somewhere.
    ASSERT_TRUE(virtualCamera->connectIfNeeded());
    EXPECT_TRUE(virtualCamera->isSourceActive());
    EXPECT_EQ(logs.count(kCategory,
                         "Eigenschaft 'vnsa' nicht lesbar, nutze "
                         "kCMIODevicePropertyDeviceIsRunningSomewhere."),
              1u);
    EXPECT_EQ(logs.count(kCategory, "vnsa failed: OSStatus " + std::to_string(kCMIOHardwareUnknownPropertyError)), 2u);
}

}  // namespace
}  // namespace velunto
