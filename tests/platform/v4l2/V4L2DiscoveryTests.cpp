#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include "platform/avfoundation/AVCaptureDeviceRegistry.h"
#include "platform/oslog/LogCapture.h"
#include "platform/v4l2/V4L2CameraProvider.h"
#include "platform/v4l2/V4L2DeviceInspector.h"
#include "tests/platform/v4l2/V4L2TestSupport.h"

namespace velunto {
namespace {

using testing::DeviceNotifications;
using testing::fakeFormat;
using testing::usbWebcam;

const std::string kWebcamID = "v4l2:usb-0000:00:14.0-1:HD Webcam C270";

V4L2FakeDevice metadataNode(std::string path) {
    auto node = V4L2FakeDevice::camera(std::move(path), "HD Webcam C270", "usb-0000:00:14.0-1", {});
    node.capabilities = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    return node;
}

class V4L2Discovery : public ::testing::Test {
protected:
    std::shared_ptr<V4L2CameraProvider> makeProvider() {
        provider_ = std::make_shared<V4L2CameraProvider>(kernel_, kernel_->makeWatcher());
        return provider_;
    }
    void TearDown() override {
        if (provider_)
            provider_->stop();
    }

    std::shared_ptr<V4L2FakeKernel> kernel_ = std::make_shared<V4L2FakeKernel>();
    std::shared_ptr<V4L2CameraProvider> provider_;
};

TEST_F(V4L2Discovery, OffersCaptureNodesOnlyAndSaysWhyOthersWereSkipped) {
    kernel_->plug(usbWebcam("/dev/video0"));
    kernel_->plug(metadataNode("/dev/video1"));
    kernel_->plug(V4L2FakeDevice::loopback("/dev/video2", "Velunto Kamera"));
    // Our own virtual camera while we write to it reports capture as well: still not a camera for us.
    auto ownWhileWriting = V4L2FakeDevice::loopback("/dev/video3", "Velunto Kamera");
    ownWhileWriting.capabilities |= V4L2_CAP_VIDEO_CAPTURE;
    ownWhileWriting.formats = {fakeFormat(V4L2_PIX_FMT_YUYV, {{1280, 720, {30}}})};
    kernel_->plug(ownWhileWriting);
    auto rawBayer = V4L2FakeDevice::camera("/dev/video4", "Sensor", "platform:sensor",
                                           {fakeFormat(V4L2_PIX_FMT_SGRBG10, {{1920, 1080, {30}}})});
    kernel_->plug(rawBayer);

    LogCapture log;
    DeviceNotifications notifications;
    makeProvider()->start();

    const auto devices = provider_->connectedDevices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]->uniqueID(), kWebcamID);
    EXPECT_EQ(devices[0]->localizedName(), "HD Webcam C270");
    EXPECT_EQ(devices[0]->deviceType(), AVCaptureDeviceTypeExternal);
    EXPECT_TRUE(devices[0]->hasMediaType(AVMediaTypeVideo));
    EXPECT_EQ(notifications.events(), std::vector<std::string>{"+" + kWebcamID});
    EXPECT_EQ(AVCaptureDeviceRegistry::shared().device(kWebcamID), devices[0]);

    EXPECT_TRUE(log.contains("V4L2", "skipping /dev/video1 (HD Webcam C270): metadata node"));
    EXPECT_TRUE(log.contains("V4L2", "skipping /dev/video2 (Velunto Kamera): our own virtual camera"));
    EXPECT_TRUE(log.contains("V4L2", "skipping /dev/video3 (Velunto Kamera): our own virtual camera"));
    EXPECT_TRUE(log.contains("V4L2", "skipping /dev/video4 (Sensor): no YUYV, NV12 or MJPEG format"));
    // A rescan that finds the same nodes does not repeat itself.
    provider_->rescan();
    EXPECT_EQ(log.count("V4L2", "skipping /dev/video1 (HD Webcam C270): metadata node"), 1u);
    EXPECT_EQ(notifications.events().size(), 1u);
}

TEST_F(V4L2Discovery, SizesAreTheUnionOfTheDecodableFormatsSmallestFirst) {
    kernel_->plug(V4L2FakeDevice::camera(
        "/dev/video0", "Integrated Camera: Integrated C", "usb-0000:00:14.0-5",
        {fakeFormat(V4L2_PIX_FMT_MJPEG, {{1920, 1080, {30}}, {640, 480, {30}}, {1280, 720, {30}}}),
         fakeFormat(V4L2_PIX_FMT_YUYV, {{640, 480, {30}}, {320, 240, {30}}}),
         fakeFormat(V4L2_PIX_FMT_H264, {{3840, 2160, {30}}})}));
    makeProvider()->start();
    const auto device = provider_->defaultDevice(AVMediaTypeVideo);
    ASSERT_TRUE(device);
    const std::vector<std::pair<std::int32_t, std::int32_t>> expected{
        {320, 240}, {640, 480}, {1280, 720}, {1920, 1080}};
    EXPECT_EQ(device->supportedSizes(), expected);
    EXPECT_EQ(device->deviceType(), AVCaptureDeviceTypeBuiltInWideAngleCamera);
    EXPECT_EQ(device->position(), AVCaptureDevicePosition::front);
    EXPECT_FALSE(provider_->defaultDevice(AVMediaTypeAudio));
}

TEST_F(V4L2Discovery, HotPlugPostsConnectAndDisconnectAndTheIDSurvivesAReplug) {
    kernel_->plug(usbWebcam("/dev/video0"));
    DeviceNotifications notifications;
    makeProvider()->start();
    ASSERT_TRUE(notifications.waitFor(1));

    const std::string secondID = "v4l2:usb-0000:00:14.0-2:Logitech BRIO";
    kernel_->plug(usbWebcam("/dev/video2", "Logitech BRIO", "usb-0000:00:14.0-2"));
    kernel_->plug(metadataNode("/dev/video3"));
    ASSERT_TRUE(notifications.waitFor(2));
    EXPECT_EQ(notifications.events().back(), "+" + secondID);
    ASSERT_EQ(provider_->connectedDevices().size(), 2u);
    const auto second = provider_->connectedDevices()[1];

    kernel_->unplug("/dev/video2");
    ASSERT_TRUE(notifications.waitFor(3));
    EXPECT_EQ(notifications.events()[2], "-" + secondID);
    EXPECT_FALSE(second->isConnected());
    EXPECT_EQ(provider_->connectedDevices().size(), 1u);
    EXPECT_FALSE(AVCaptureDeviceRegistry::shared().device(secondID));

    // Back on the same port, under another node number.
    kernel_->plug(usbWebcam("/dev/video4", "Logitech BRIO", "usb-0000:00:14.0-2"));
    ASSERT_TRUE(notifications.waitFor(4));
    EXPECT_EQ(notifications.events()[3], "+" + secondID);
    EXPECT_NE(provider_->find(secondID)->device, second);
}

TEST_F(V4L2Discovery, ANodeReusedByAnotherCameraIsADisconnectAndAConnect) {
    kernel_->plug(usbWebcam("/dev/video0"));
    DeviceNotifications notifications;
    makeProvider()->start();
    kernel_->unplug("/dev/video0");
    kernel_->plug(usbWebcam("/dev/video0", "Other Camera", "usb-0000:00:14.0-3"));
    provider_->rescan();
    const std::vector<std::string> expected{"+" + kWebcamID, "-" + kWebcamID, "+v4l2:usb-0000:00:14.0-3:Other Camera"};
    ASSERT_TRUE(notifications.waitFor(3));
    EXPECT_EQ(notifications.events(), expected);
}

TEST_F(V4L2Discovery, StopDisconnectsEverythingAndLeavesTheRegistry) {
    kernel_->plug(usbWebcam("/dev/video0"));
    kernel_->plug(usbWebcam("/dev/video2", "Logitech BRIO", "usb-0000:00:14.0-2"));
    DeviceNotifications notifications;
    makeProvider()->start();
    const auto devices = provider_->connectedDevices();
    ASSERT_EQ(devices.size(), 2u);
    provider_->stop();
    EXPECT_TRUE(provider_->connectedDevices().empty());
    EXPECT_FALSE(devices[0]->isConnected());
    EXPECT_FALSE(AVCaptureDeviceRegistry::shared().device(kWebcamID));
    const std::vector<std::string> expected{"+" + kWebcamID, "+" + devices[1]->uniqueID(), "-" + devices[1]->uniqueID(),
                                            "-" + kWebcamID};
    EXPECT_EQ(notifications.events(), expected);
    // No longer watching.
    kernel_->plug(usbWebcam("/dev/video5", "Late Camera", "usb-0000:00:14.0-9"));
    EXPECT_TRUE(provider_->connectedDevices().empty());
    EXPECT_EQ(kernel_->openDescriptors(), 0u);
}

TEST(V4L2DeviceInspector, SizeRangesBecomeTheCommonSizesInsideThemAndTheLargest) {
    V4L2FakeKernel kernel;
    V4L2FakeFormat ranged{V4L2_PIX_FMT_YUYV, {}, V4L2FakeSizeRange{320, 1600, 16, 240, 900, 4, {60, 30}}};
    kernel.plug(V4L2FakeDevice::camera("/dev/video0", "Capture Card", "pci-0000:03:00.0", {ranged}));
    const auto description = V4L2DeviceInspector::describe(kernel, "/dev/video0");
    ASSERT_TRUE(description);
    ASSERT_EQ(description->formats.size(), 1u);
    // Common sizes that fit the range and its steps (1280x960 and up are too tall), then the largest.
    const std::vector<std::pair<std::int32_t, std::int32_t>> expected{
        {320, 240}, {640, 360}, {640, 480}, {800, 600}, {960, 540}, {1024, 768}, {1280, 720}, {1600, 900}};
    EXPECT_EQ(V4L2DeviceInspector::supportedSizes(*description), expected);
    for (const auto& size : description->formats[0].sizes)
        EXPECT_EQ(size.maximumFramesPerSecond(), 60.0) << size.width << "x" << size.height;
    EXPECT_EQ(kernel.openDescriptors(), 0u);
}

TEST(V4L2DeviceInspector, ClassifiesNodes) {
    V4L2DeviceDescription node;
    node.path = "/dev/video7";
    node.card = "Camera";
    node.capabilities = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
    std::string reason;
    EXPECT_FALSE(V4L2DeviceInspector::isCamera(node, &reason));
    EXPECT_EQ(reason, "multi-planar capture only");
    node.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE;
    node.formats = {{V4L2_PIX_FMT_YUYV, {{640, 480, {}}}}};
    EXPECT_FALSE(V4L2DeviceInspector::isCamera(node, &reason));
    EXPECT_EQ(reason, "no streaming I/O");
    node.capabilities |= V4L2_CAP_STREAMING;
    EXPECT_TRUE(V4L2DeviceInspector::isCamera(node, nullptr));
    // Without a bus the path keeps two such cameras apart.
    EXPECT_EQ(V4L2DeviceInspector::uniqueID(node), "v4l2:/dev/video7:Camera");
    node.busInfo = "platform:vivid-000";
    EXPECT_EQ(V4L2DeviceInspector::deviceType(node), AVCaptureDeviceTypeBuiltInWideAngleCamera);

    V4L2DeviceDescription loopback;
    loopback.driver = "v4l2 loopback";
    loopback.card = "OBS Virtual Camera";
    loopback.capabilities = V4L2_CAP_VIDEO_OUTPUT;
    EXPECT_TRUE(V4L2DeviceInspector::isLoopbackOutput(loopback));
    loopback.capabilities = V4L2_CAP_VIDEO_CAPTURE;  // someone else is writing to it
    EXPECT_FALSE(V4L2DeviceInspector::isLoopbackOutput(loopback));
    EXPECT_EQ(V4L2DeviceInspector::fourCCString(V4L2_PIX_FMT_MJPEG), "MJPG");
}

}  // namespace
}  // namespace velunto
