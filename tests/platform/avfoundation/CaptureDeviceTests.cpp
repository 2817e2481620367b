#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/avfoundation/AVCaptureDevice.h"
#include "platform/avfoundation/AVCaptureDeviceDiscoverySession.h"
#include "platform/coremedia/CMClock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/HostClock.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/sim/SimulatedCameraHardware.h"

using namespace std::chrono_literals;

namespace velunto {
namespace {

std::vector<std::string> idsOf(const std::vector<std::shared_ptr<AVCaptureDevice>>& devices) {
    std::vector<std::string> ids;
    for (const auto& device : devices)
        ids.push_back(device->uniqueID());
    return ids;
}

SimulatedCameraDescription camera(std::string id, AVCaptureDeviceType type) {
    SimulatedCameraDescription description;
    description.uniqueID = id;
    description.name = "Camera " + id;
    description.deviceType = std::move(type);
    return description;
}

TEST(CMClock, HostClockAndOffsetClocksConvertIntoEachOther) {
    VirtualTime time;
    time.advance(250ms);
    const auto host = CMClock::hostTimeClock();
    EXPECT_EQ(host, CMClock::hostTimeClock());
    EXPECT_EQ(host->time().value, static_cast<std::int64_t>(HostClock::nowNanoseconds()));
    EXPECT_EQ(host->time().timescale, 1'000'000'000);

    const auto camera = CMClock::makeWithOffset(-400'000'000);
    EXPECT_EQ(camera->offsetNanoseconds(), -400'000'000);
    EXPECT_EQ(camera->time().value, host->time().value - 400'000'000);

    const CMTime onCamera = camera->time();
    EXPECT_EQ(CMTimeCompare(CMSyncConvertTime(onCamera, *camera, *host), host->time()), 0);
    EXPECT_EQ(CMSyncConvertTime(host->time(), *host, *camera).value, onCamera.value);

    // A whole number of the time's units keeps its timescale; otherwise the result is in nanoseconds.
    const auto fiveMillisecondsAhead = CMClock::makeWithOffset(5'000'000);
    const CMTime inMilliseconds = CMSyncConvertTime(CMTimeMake(1'000, 1'000), *host, *fiveMillisecondsAhead);
    EXPECT_EQ(inMilliseconds.value, 1'005);
    EXPECT_EQ(inMilliseconds.timescale, 1'000);
    const auto oddOffset = CMClock::makeWithOffset(1'234);
    const CMTime inNanoseconds = CMSyncConvertTime(CMTimeMake(3, 2), *host, *oddOffset);
    EXPECT_EQ(inNanoseconds.value, 1'500'001'234);
    EXPECT_EQ(inNanoseconds.timescale, 1'000'000'000);

    EXPECT_FALSE(CMTIME_IS_VALID(CMSyncConvertTime(kCMTimeInvalid, *host, *camera)));
}

class CaptureDeviceTest : public ::testing::Test {
protected:
    VirtualTime time;
    SimulatedCameraHardware hardware;
};

TEST_F(CaptureDeviceTest, DiscoveryFiltersByTypeMediaAndPositionInTypeThenConnectionOrder) {
    hardware.plug(camera("phone", AVCaptureDeviceTypeContinuityCamera));
    hardware.plug(camera("usb2", AVCaptureDeviceTypeExternal));

    const auto all = AVCaptureDeviceDiscoverySession::discoverySessionWithDeviceTypes(
        {AVCaptureDeviceTypeContinuityCamera, AVCaptureDeviceTypeExternal, AVCaptureDeviceTypeBuiltInWideAngleCamera},
        AVMediaTypeVideo, AVCaptureDevicePosition::unspecified);
    EXPECT_EQ(idsOf(all->devices()), (std::vector<std::string>{"phone", "external", "usb2", "builtin"}));

    const auto externalOnly = AVCaptureDeviceDiscoverySession::discoverySessionWithDeviceTypes(
        {AVCaptureDeviceTypeExternal}, AVMediaTypeVideo, AVCaptureDevicePosition::unspecified);
    EXPECT_EQ(idsOf(externalOnly->devices()), (std::vector<std::string>{"external", "usb2"}));

    const auto front = AVCaptureDeviceDiscoverySession::discoverySessionWithDeviceTypes(
        {AVCaptureDeviceTypeExternal, AVCaptureDeviceTypeBuiltInWideAngleCamera}, AVMediaTypeVideo,
        AVCaptureDevicePosition::front);
    EXPECT_EQ(idsOf(front->devices()), (std::vector<std::string>{"builtin"}));

    const auto audio = AVCaptureDeviceDiscoverySession::discoverySessionWithDeviceTypes(
        {AVCaptureDeviceTypeExternal}, AVMediaTypeAudio, AVCaptureDevicePosition::unspecified);
    EXPECT_TRUE(audio->devices().empty());

    // The session follows unplugs.
    hardware.unplug("external");
    EXPECT_EQ(idsOf(externalOnly->devices()), (std::vector<std::string>{"usb2"}));
}

TEST_F(CaptureDeviceTest, DefaultDeviceAndLookUpByUniqueID) {
    const auto builtIn = AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo);
    ASSERT_TRUE(builtIn);
    EXPECT_EQ(builtIn->uniqueID(), "builtin");
    EXPECT_EQ(builtIn->position(), AVCaptureDevicePosition::front);
    EXPECT_EQ(builtIn->supportedSizes().back(), (std::pair<std::int32_t, std::int32_t>{1280, 720}));
    EXPECT_TRUE(builtIn->hasMediaType(AVMediaTypeVideo));
    EXPECT_FALSE(builtIn->hasMediaType(AVMediaTypeAudio));
    EXPECT_FALSE(AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeAudio));

    hardware.setDefaultCamera("external");
    EXPECT_EQ(AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo)->uniqueID(), "external");

    const auto external = AVCaptureDevice::deviceWithUniqueID("external");
    ASSERT_TRUE(external);
    EXPECT_EQ(external->localizedName(), "USB Camera");
    EXPECT_TRUE(external->isConnected());
    hardware.unplug("external");
    EXPECT_FALSE(external->isConnected());
    EXPECT_FALSE(AVCaptureDevice::deviceWithUniqueID("external"));
    EXPECT_EQ(AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo)->uniqueID(), "builtin");

    hardware.unplug("builtin");
    EXPECT_FALSE(AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo));
}

TEST_F(CaptureDeviceTest, ConnectAndDisconnectNotificationsCarryTheDevice) {
    std::vector<std::pair<std::string, const void*>> heard;
    auto& center = NotificationCenter::defaultCenter();
    auto record = [&](const Notification& note) { heard.emplace_back(note.name, note.object); };
    const auto connected = center.addObserver(AVCaptureDeviceWasConnectedNotification, nullptr, std::nullopt, record);
    const auto disconnected =
        center.addObserver(AVCaptureDeviceWasDisconnectedNotification, nullptr, std::nullopt, record);

    hardware.plug(camera("usb2", AVCaptureDeviceTypeExternal));
    hardware.plug(camera("usb2", AVCaptureDeviceTypeExternal));  // already connected: ignored
    const auto device = AVCaptureDevice::deviceWithUniqueID("usb2");
    ASSERT_TRUE(device);
    hardware.unplug("usb2");
    hardware.unplug("usb2");  // already gone: ignored
    center.removeObserver(connected);
    center.removeObserver(disconnected);

    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0], (std::pair<std::string, const void*>{AVCaptureDeviceWasConnectedNotification, device.get()}));
    EXPECT_EQ(heard[1],
              (std::pair<std::string, const void*>{AVCaptureDeviceWasDisconnectedNotification, device.get()}));
}

TEST_F(CaptureDeviceTest, AccessIsAnsweredLaterOnAQueueOfItsOwn) {
    EXPECT_EQ(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo), AVAuthorizationStatus::authorized);
    hardware.setAuthorizationStatus(AVAuthorizationStatus::notDetermined);
    hardware.setAccessAnswer(true, 300ms);

    DispatchQueue caller("caller");
    std::optional<bool> granted;
    bool onCallerQueue = true;
    caller.async([&] {
        AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [&](bool answer) {
            granted = answer;
            onCallerQueue = caller.isCurrent();
        });
    });
    time.advance(299ms);
    EXPECT_FALSE(granted);
    EXPECT_EQ(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo), AVAuthorizationStatus::notDetermined);
    time.advance(1ms);
    EXPECT_EQ(granted, std::optional<bool>(true));
    EXPECT_FALSE(onCallerQueue);
    EXPECT_EQ(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo), AVAuthorizationStatus::authorized);

    // A caller may wait for the answer on its own queue; a refusal makes the status denied.
    hardware.setAuthorizationStatus(AVAuthorizationStatus::notDetermined);
    hardware.setAccessAnswer(false, 2s);
    std::optional<bool> refused;
    caller.async([&] {
        DispatchSemaphore answered(0);
        AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [&](bool answer) {
            refused = answer;
            answered.signal();
        });
        answered.wait();
    });
    time.runUntilIdle();
    EXPECT_EQ(refused, std::optional<bool>(false));
    EXPECT_EQ(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo), AVAuthorizationStatus::denied);

    // Once decided, a request is answered with the decision without asking again.
    std::optional<bool> again;
    AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [&](bool answer) { again = answer; });
    time.runUntilIdle();
    EXPECT_EQ(again, std::optional<bool>(false));
}

}  // namespace
}  // namespace velunto
