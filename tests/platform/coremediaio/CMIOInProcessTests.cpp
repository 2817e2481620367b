// The camera I/O layer with provider and client in one process, in virtual time.

#include <gtest/gtest.h>

#include <memory>

#include "platform/dispatch/VirtualTime.h"
#include "tests/platform/coremediaio/CMIOTestFrames.h"
#include "tests/platform/coremediaio/CMIOTestSources.h"
#include "tests/platform/coremediaio/CMIOTestSupport.h"

namespace velunto {
namespace {

using namespace cmiotest;

struct ListenerLog {
    std::vector<std::vector<CMIOObjectPropertyAddress>> calls;
    CMIOObjectPropertyListenerBlock block() {
        return [this](UInt32 count, const CMIOObjectPropertyAddress* addresses) {
            calls.emplace_back(addresses, addresses + count);
        };
    }
    bool heard(CMIOObjectPropertySelector selector) const {
        for (const auto& call : calls)
            for (const auto& address : call)
                if (address.mSelector == selector)
                    return true;
        return false;
    }
};

struct ProcLog {
    std::vector<CMIOStreamID> streams;
    static void proc(CMIOStreamID stream, void*, void* refCon) {
        static_cast<ProcLog*>(refCon)->streams.push_back(stream);
    }
};

class CMIOInProcessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { usePrivateSocketDirectory(); }

    void SetUp() override {
        extension = std::make_unique<TestExtension>(providerQueue);
        CMIOExtensionProvider::startServiceWithProvider(extension->provider);
        time.runUntilIdle();
        device = findDevice("test.camera.6F0C");
        ASSERT_NE(device, kCMIOObjectUnknown);
        const auto streams = readArray<CMIOStreamID>(device, kCMIODevicePropertyStreams);
        ASSERT_EQ(streams.size(), 2u);
        sourceStream = streams[0];
        sinkStream = streams[1];
    }

    void TearDown() override {
        CMIOExtensionProvider::stopService();
        time.runUntilIdle();
        EXPECT_EQ(extension->check.offQueueCalls.load(), 0) << "a source was called off the provider's queue";
    }

    CMIOExtensionClient connectedClient() {
        std::lock_guard lock(extension->providerSource->mutex);
        return extension->providerSource->connected.at(0);
    }

    VirtualTime time;
    DispatchQueue providerQueue{"test.cmio.provider"};
    DispatchQueue listenerQueue{"test.cmio.listener"};
    std::unique_ptr<TestExtension> extension;
    CMIOObjectID device = kCMIOObjectUnknown;
    CMIOStreamID sourceStream = kCMIOObjectUnknown;
    CMIOStreamID sinkStream = kCMIOObjectUnknown;
};

TEST_F(CMIOInProcessTest, DevicePropertiesDescribeThePublishedDevice) {
    EXPECT_EQ(readString(device, kCMIOObjectPropertyName), "Test Camera");
    EXPECT_EQ(readString(device, kCMIODevicePropertyModelUID), "Test Model");
    EXPECT_EQ(readValue<UInt32>(device, kCMIODevicePropertyTransportType), UInt32{'virt'});
    EXPECT_EQ(readValue<UInt32>(device, kCMIODevicePropertyDeviceIsAlive), 1u);
    EXPECT_EQ(readValue<UInt32>(device, kCMIODevicePropertyDeviceIsRunningSomewhere), 0u);
    EXPECT_EQ(readString(device, 'vnsa'), "0");
    EXPECT_EQ(readValue<UInt32>(device, 'cnt '), 42u);

    // The client identified itself with this process.
    EXPECT_EQ(connectedClient().pid, getpid());
    EXPECT_EQ(connectedClient().clientID.size(), 36u);
}

TEST_F(CMIOInProcessTest, StreamPropertiesDescribeDirectionAndFormats) {
    EXPECT_EQ(readString(sourceStream, kCMIOObjectPropertyName), "Test Out");
    EXPECT_EQ(readString(sinkStream, kCMIOObjectPropertyName), "Test In");
    EXPECT_EQ(readValue<UInt32>(sourceStream, kCMIOStreamPropertyDirection), UInt32{kCMIOStreamDirectionSource});
    EXPECT_EQ(readValue<UInt32>(sinkStream, kCMIOStreamPropertyDirection), UInt32{kCMIOStreamDirectionSink});

    const auto formats = readArray<CMIOStreamFormat>(sourceStream, kCMIOStreamPropertyFormatDescriptions);
    ASSERT_EQ(formats.size(), 2u);
    EXPECT_EQ(formats[0].codec, UInt32{'BGRA'});
    EXPECT_EQ(formats[0].width, 1280);
    EXPECT_EQ(formats[1].width, 1920);
    EXPECT_EQ(formats[1].height, 1080);

    const auto active = readValue<CMIOStreamFormat>(sourceStream, kCMIOStreamPropertyFormatDescription);
    EXPECT_EQ(active.width, 1280);
    EXPECT_DOUBLE_EQ(readValue<Float64>(sourceStream, kCMIOStreamPropertyFrameRate), 25.0);
}

TEST_F(CMIOInProcessTest, ReadsReportSizesAndErrors) {
    const auto name = address(kCMIOObjectPropertyName);
    UInt32 size = 0;
    EXPECT_EQ(CMIOObjectGetPropertyDataSize(device, &name, 0, nullptr, &size), kCMIOHardwareNoError);
    EXPECT_EQ(size, sizeof(CFStringRef));
    const auto streams = address(kCMIODevicePropertyStreams);
    EXPECT_EQ(CMIOObjectGetPropertyDataSize(device, &streams, 0, nullptr, &size), kCMIOHardwareNoError);
    EXPECT_EQ(size, 2 * sizeof(CMIOStreamID));

    // Unknown selectors, objects, scopes.
    const auto unknown = address('zzzz');
    EXPECT_EQ(CMIOObjectGetPropertyDataSize(device, &unknown, 0, nullptr, &size), kCMIOHardwareUnknownPropertyError);
    EXPECT_FALSE(CMIOObjectHasProperty(device, &unknown));
    EXPECT_TRUE(CMIOObjectHasProperty(device, &name));
    EXPECT_EQ(CMIOObjectGetPropertyDataSize(9999, &name, 0, nullptr, &size), kCMIOHardwareBadObjectError);
    const CMIOObjectPropertyAddress inputScope{kCMIOObjectPropertyName, 'inpt', 0};
    EXPECT_EQ(CMIOObjectGetPropertyDataSize(device, &inputScope, 0, nullptr, &size), kCMIOHardwareUnknownPropertyError);
    EXPECT_EQ(CMIOObjectGetPropertyDataSize(device, nullptr, 0, nullptr, &size), kCMIOHardwareIllegalOperationError);

    // A buffer too small for a scalar or a string is refused and nothing is written.
    UInt16 small = 0x5A5A;
    UInt32 used = 99;
    const auto alive = address(kCMIODevicePropertyDeviceIsAlive);
    EXPECT_EQ(CMIOObjectGetPropertyData(device, &alive, 0, nullptr, sizeof small, &used, &small),
              kCMIOHardwareBadPropertySizeError);
    EXPECT_EQ(small, 0x5A5A);
    EXPECT_EQ(used, 0u);
    UInt32 halfPointer = 0;
    EXPECT_EQ(CMIOObjectGetPropertyData(device, &name, 0, nullptr, sizeof halfPointer, &used, &halfPointer),
              kCMIOHardwareBadPropertySizeError);

    // Arrays give as many whole elements as fit.
    CMIOStreamID first[1] = {0};
    EXPECT_EQ(CMIOObjectGetPropertyData(device, &streams, 0, nullptr, 6, &used, first), kCMIOHardwareNoError);
    EXPECT_EQ(used, sizeof(CMIOStreamID));
    EXPECT_EQ(first[0], sourceStream);

    // A custom selector the device does not publish.
    const auto custom = address('nope');
    EXPECT_EQ(CMIOObjectGetPropertyDataSize(device, &custom, 0, nullptr, &size), kCMIOHardwareUnknownPropertyError);
    // Streams do not answer device selectors.
    const auto model = address(kCMIODevicePropertyModelUID);
    EXPECT_EQ(CMIOObjectGetPropertyDataSize(sourceStream, &model, 0, nullptr, &size),
              kCMIOHardwareUnknownPropertyError);
}

TEST_F(CMIOInProcessTest, SettingPropertiesReachesTheSources) {
    const auto format = address(kCMIOStreamPropertyFormatDescription);
    const CMIOStreamFormat large{'BGRA', 1920, 1080};
    EXPECT_EQ(CMIOObjectSetPropertyData(sourceStream, &format, 0, nullptr, sizeof large, &large), kCMIOHardwareNoError);
    EXPECT_EQ(extension->sourceStreamSource->activeFormatIndex, 1);
    EXPECT_EQ(readValue<CMIOStreamFormat>(sourceStream, kCMIOStreamPropertyFormatDescription).height, 1080);

    const CMIOStreamFormat odd{'BGRA', 640, 480};
    EXPECT_EQ(CMIOObjectSetPropertyData(sourceStream, &format, 0, nullptr, sizeof odd, &odd),
              kCMIODeviceUnsupportedFormatError);
    const CMIOStreamFormat otherCodec{'420v', 1280, 720};
    EXPECT_EQ(CMIOObjectSetPropertyData(sourceStream, &format, 0, nullptr, sizeof otherCodec, &otherCodec),
              kCMIODeviceUnsupportedFormatError);
    EXPECT_EQ(CMIOObjectSetPropertyData(sourceStream, &format, 0, nullptr, 8, &large),
              kCMIOHardwareBadPropertySizeError);
    EXPECT_EQ(extension->sourceStreamSource->activeFormatIndex, 1);

    // Read-only properties, and a custom string property that the device accepts.
    const auto name = address(kCMIOObjectPropertyName);
    const UInt32 zero = 0;
    EXPECT_EQ(CMIOObjectSetPropertyData(device, &name, 0, nullptr, sizeof zero, &zero),
              kCMIOHardwareUnsupportedOperationError);
    auto label = makeCFString("1");
    const auto vnsa = address('vnsa');
    CFStringRef labelRef = label.get();
    EXPECT_EQ(CMIOObjectSetPropertyData(device, &vnsa, 0, nullptr, sizeof labelRef, &labelRef), kCMIOHardwareNoError);
    EXPECT_EQ(readString(device, 'vnsa'), "1");
}

TEST_F(CMIOInProcessTest, StartingAndStoppingReachesTheSourceAndRunningSomewhere) {
    ListenerLog log;
    std::uint64_t token = 0;
    const auto gone = address(kCMIODevicePropertyDeviceIsRunningSomewhere);
    ASSERT_EQ(CMIOObjectAddPropertyListenerBlock(device, &gone, listenerQueue, log.block(), &token),
              kCMIOHardwareNoError);

    EXPECT_EQ(CMIODeviceStartStream(device, sourceStream), kCMIOHardwareNoError);
    EXPECT_EQ(extension->sourceStreamSource->startCount.load(), 1);
    EXPECT_EQ(extension->sourceStreamSource->authorizedClients.at(0).clientID, connectedClient().clientID);
    EXPECT_EQ(readValue<UInt32>(device, kCMIODevicePropertyDeviceIsRunningSomewhere), 1u);
    time.runUntilIdle();
    EXPECT_TRUE(log.heard(kCMIODevicePropertyDeviceIsRunningSomewhere));

    // Starting twice from one client is not a second start for the source.
    EXPECT_EQ(CMIODeviceStartStream(device, sourceStream), kCMIOHardwareNoError);
    EXPECT_EQ(extension->sourceStreamSource->startCount.load(), 1);

    log.calls.clear();
    EXPECT_EQ(CMIODeviceStopStream(device, sourceStream), kCMIOHardwareNoError);
    EXPECT_EQ(extension->sourceStreamSource->stopCount.load(), 1);
    EXPECT_EQ(readValue<UInt32>(device, kCMIODevicePropertyDeviceIsRunningSomewhere), 0u);
    time.runUntilIdle();
    EXPECT_TRUE(log.heard(kCMIODevicePropertyDeviceIsRunningSomewhere));
    EXPECT_EQ(CMIODeviceStopStream(device, sourceStream), kCMIOHardwareNotRunningError);

    EXPECT_EQ(CMIODeviceStartStream(device, device), kCMIOHardwareBadStreamError);
    EXPECT_EQ(CMIODeviceStartStream(sourceStream, sourceStream), kCMIOHardwareBadDeviceError);
    EXPECT_EQ(CMIOObjectRemovePropertyListenerBlock(device, &gone, listenerQueue, token), kCMIOHardwareNoError);
}

TEST_F(CMIOInProcessTest, AnUnauthorisedClientCannotStart) {
    extension->sourceStreamSource->authorize = false;
    EXPECT_EQ(CMIODeviceStartStream(device, sourceStream), kCMIOHardwareIllegalOperationError);
    EXPECT_EQ(extension->sourceStreamSource->startCount.load(), 0);
    EXPECT_EQ(readValue<UInt32>(device, kCMIODevicePropertyDeviceIsRunningSomewhere), 0u);
}

TEST_F(CMIOInProcessTest, SinkFramesTravelToTheExtensionWithSequenceNumbers) {
    ProcLog procs;
    std::shared_ptr<CMSimpleQueue> queue;
    ASSERT_EQ(CMIOStreamCopyBufferQueue(sinkStream, &ProcLog::proc, &procs, &queue), kCMIOHardwareNoError);
    ASSERT_TRUE(queue);
    EXPECT_EQ(queue->capacity(), 2);  // the extension's sink buffer queue size
    ASSERT_EQ(CMIODeviceStartStream(device, sinkStream), kCMIOHardwareNoError);

    for (std::uint64_t counter = 0; counter < 2; ++counter) {
        ASSERT_EQ(queue->enqueue(makeFrame(64, 48, counter)), noErr);
        time.runUntilIdle();
    }
    EXPECT_EQ(procs.streams, (std::vector<CMIOStreamID>{sinkStream, sinkStream}));

    const CMIOExtensionClient client = connectedClient();
    std::vector<std::uint64_t> counters, sequences;
    std::vector<bool> more;
    auto consume = [&] {
        bool gotOne = false;
        extension->sinkStream->consumeSampleBufferFromClient(
            client, [&](CMSampleBufferRef buffer, std::uint64_t sequence, std::uint32_t, bool hasMore,
                        std::optional<NSError> error) {
                if (!buffer) {
                    EXPECT_TRUE(error.has_value());
                    return;
                }
                gotOne = true;
                EXPECT_TRUE(isWhole(*buffer->imageBuffer()));
                counters.push_back(readStamp(*buffer->imageBuffer()).counter);
                sequences.push_back(sequence);
                more.push_back(hasMore);
            });
        return gotOne;
    };
    EXPECT_TRUE(consume());
    EXPECT_TRUE(consume());
    EXPECT_FALSE(consume());  // nothing waits: null and an error
    EXPECT_EQ(counters, (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(sequences, (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(more, (std::vector<bool>{true, false}));

    // Three more before the extension looks: the oldest is dropped, numbers keep counting.
    for (std::uint64_t counter = 2; counter < 5; ++counter) {
        ASSERT_EQ(queue->enqueue(makeFrame(64, 48, counter)), noErr);
        time.runUntilIdle();
    }
    counters.clear();
    sequences.clear();
    while (consume()) {
    }
    EXPECT_EQ(counters, (std::vector<std::uint64_t>{3, 4}));
    EXPECT_EQ(sequences, (std::vector<std::uint64_t>{3, 4}));

    // A client that stopped the stream: its frames are not kept.
    ASSERT_EQ(CMIODeviceStopStream(device, sinkStream), kCMIOHardwareNoError);
    ASSERT_EQ(queue->enqueue(makeFrame(64, 48, 9)), noErr);
    time.runUntilIdle();
    EXPECT_FALSE(consume());
}

TEST_F(CMIOInProcessTest, SourceFramesArriveInTheClientsQueueAndFullQueuesDropTheNewest) {
    ProcLog procs;
    std::shared_ptr<CMSimpleQueue> queue;
    ASSERT_EQ(CMIOStreamCopyBufferQueue(sourceStream, &ProcLog::proc, &procs, &queue), kCMIOHardwareNoError);

    // Not started: nothing arrives.
    extension->sourceStream->sendSampleBuffer(makeFrame(64, 48, 100), 0, 0);
    EXPECT_EQ(queue->count(), 0);

    ASSERT_EQ(CMIODeviceStartStream(device, sourceStream), kCMIOHardwareNoError);
    const std::int32_t capacity = queue->capacity();
    for (std::int32_t counter = 0; counter < capacity + 3; ++counter)
        providerQueue.async([&, counter] {
            extension->sourceStream->sendSampleBuffer(makeFrame(64, 48, static_cast<std::uint64_t>(counter)), 0, 0);
        });
    time.runUntilIdle();
    EXPECT_EQ(queue->count(), capacity);
    EXPECT_EQ(procs.streams.size(), static_cast<std::size_t>(capacity));
    EXPECT_EQ(procs.streams.front(), sourceStream);
    for (std::int32_t counter = 0; counter < capacity; ++counter) {
        auto frame = queue->dequeue();
        ASSERT_TRUE(frame);
        EXPECT_EQ(readStamp(*frame->imageBuffer()).counter, static_cast<std::uint64_t>(counter));
    }
    EXPECT_FALSE(queue->dequeue());
}

TEST_F(CMIOInProcessTest, PropertyChangesReachListenersUntilRemoved) {
    ListenerLog exact, wildcard, removed;
    std::uint64_t exactToken = 0, wildcardToken = 0, removedToken = 0;
    const auto vnsa = address('vnsa');
    const CMIOObjectPropertyAddress any{kCMIOObjectPropertySelectorWildcard, kCMIOObjectPropertyScopeWildcard,
                                        kCMIOObjectPropertyElementWildcard};
    ASSERT_EQ(CMIOObjectAddPropertyListenerBlock(device, &vnsa, listenerQueue, exact.block(), &exactToken), 0);
    ASSERT_EQ(CMIOObjectAddPropertyListenerBlock(device, &any, listenerQueue, wildcard.block(), &wildcardToken), 0);
    ASSERT_EQ(CMIOObjectAddPropertyListenerBlock(device, &vnsa, listenerQueue, removed.block(), &removedToken), 0);
    EXPECT_NE(exactToken, removedToken);
    ASSERT_EQ(CMIOObjectRemovePropertyListenerBlock(device, &vnsa, listenerQueue, removedToken), kCMIOHardwareNoError);
    EXPECT_EQ(CMIOObjectRemovePropertyListenerBlock(device, &vnsa, listenerQueue, removedToken),
              kCMIOHardwareIllegalOperationError);

    extension->deviceSource->label = "1";
    extension->device->notifyPropertiesChanged({{kLabelProperty, {std::string("1")}}});
    time.runUntilIdle();
    ASSERT_EQ(exact.calls.size(), 1u);
    EXPECT_EQ(exact.calls[0].at(0).mSelector, UInt32{'vnsa'});
    EXPECT_TRUE(wildcard.heard('vnsa'));
    EXPECT_TRUE(removed.calls.empty());
    EXPECT_EQ(readString(device, 'vnsa'), "1");

    // Another property: the exact listener stays quiet.
    extension->device->notifyPropertiesChanged({{CMIOExtensionPropertyDeviceModel, {std::string("x")}}});
    time.runUntilIdle();
    EXPECT_EQ(exact.calls.size(), 1u);
    EXPECT_TRUE(wildcard.heard(kCMIODevicePropertyModelUID));

    EXPECT_EQ(CMIOObjectRemovePropertyListenerBlock(device, &vnsa, listenerQueue, exactToken), 0);
    EXPECT_EQ(CMIOObjectRemovePropertyListenerBlock(device, &any, listenerQueue, wildcardToken), 0);
}

TEST_F(CMIOInProcessTest, DevicesAppearingAndVanishingFireTheDeviceList) {
    ListenerLog systemLog, deviceLog;
    std::uint64_t systemToken = 0, deviceToken = 0;
    const auto devices = address(kCMIOHardwarePropertyDevices);
    const auto alive = address(kCMIODevicePropertyDeviceIsAlive);
    ASSERT_EQ(CMIOObjectAddPropertyListenerBlock(kCMIOObjectSystemObject, &devices, listenerQueue, systemLog.block(),
                                                 &systemToken),
              0);
    ASSERT_EQ(CMIOObjectAddPropertyListenerBlock(device, &alive, listenerQueue, deviceLog.block(), &deviceToken), 0);

    // A second device of the same provider, appended to the list.
    TestExtension second(providerQueue, "9A8B7C6D-1111-4222-8333-444455556666", "Second Camera");
    ASSERT_TRUE(extension->provider->addDevice(
        CMIOExtensionDevice::make("Second Camera", "9A8B7C6D-1111-4222-8333-444455556666", std::nullopt,
                                  second.deviceSource),
        nullptr));
    time.runUntilIdle();
    EXPECT_TRUE(systemLog.heard(kCMIOHardwarePropertyDevices));
    auto list = deviceList();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], device);
    EXPECT_EQ(readString(list[1], kCMIODevicePropertyDeviceUID), "9A8B7C6D-1111-4222-8333-444455556666");

    // The same ID twice is refused.
    NSError error;
    EXPECT_FALSE(extension->provider->addDevice(
        CMIOExtensionDevice::make("Again", kDeviceID, std::nullopt, extension->deviceSource), &error));
    EXPECT_FALSE(error.localizedDescription.empty());

    // The first device goes: listeners hear it, the object is gone, and IDs are not reused.
    systemLog.calls.clear();
    ASSERT_TRUE(extension->provider->removeDevice(extension->device, nullptr));
    time.runUntilIdle();
    EXPECT_TRUE(systemLog.heard(kCMIOHardwarePropertyDevices));
    EXPECT_TRUE(deviceLog.heard(kCMIODevicePropertyDeviceIsAlive));
    EXPECT_EQ(deviceList(), std::vector<CMIOObjectID>{list[1]});
    OSStatus status = 0;
    readValue<UInt32>(device, kCMIODevicePropertyDeviceIsAlive, &status);
    EXPECT_EQ(status, kCMIOHardwareBadObjectError);
    readValue<UInt32>(sourceStream, kCMIOStreamPropertyDirection, &status);
    EXPECT_EQ(status, kCMIOHardwareBadObjectError);

    ASSERT_TRUE(extension->provider->addDevice(extension->device, nullptr));
    time.runUntilIdle();
    const CMIOObjectID again = findDevice("test.camera.6F0C");
    EXPECT_NE(again, kCMIOObjectUnknown);
    EXPECT_NE(again, device);
    EXPECT_GT(again, list[1]);

    // The service stopping takes every device of the provider.
    systemLog.calls.clear();
    CMIOExtensionProvider::stopService();
    time.runUntilIdle();
    EXPECT_TRUE(systemLog.heard(kCMIOHardwarePropertyDevices));
    EXPECT_TRUE(deviceList().empty());
    EXPECT_EQ(extension->providerSource->disconnected.size(), 1u);
    EXPECT_EQ(CMIOObjectRemovePropertyListenerBlock(kCMIOObjectSystemObject, &devices, listenerQueue, systemToken), 0);
}

TEST_F(CMIOInProcessTest, AStreamAddedLaterShowsUpInTheDevicesStreams) {
    ListenerLog log;
    std::uint64_t token = 0;
    const auto streams = address(kCMIODevicePropertyStreams);
    ASSERT_EQ(CMIOObjectAddPropertyListenerBlock(device, &streams, listenerQueue, log.block(), &token), 0);
    auto extra =
        CMIOExtensionStream::make("Extra", "0000EEEE-1111-4222-8333-444455556666", CMIOExtensionStreamDirection::source,
                                  CMIOExtensionStreamClockType::hostTime, extension->sourceStreamSource);
    ASSERT_TRUE(extension->device->addStream(extra, nullptr));
    EXPECT_FALSE(extension->device->addStream(extra, nullptr));
    time.runUntilIdle();
    EXPECT_TRUE(log.heard(kCMIODevicePropertyStreams));
    const auto ids = readArray<CMIOStreamID>(device, kCMIODevicePropertyStreams);
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0], sourceStream);
    EXPECT_EQ(ids[1], sinkStream);
    EXPECT_EQ(readString(ids[2], kCMIOObjectPropertyName), "Extra");
    EXPECT_EQ(CMIOObjectRemovePropertyListenerBlock(device, &streams, listenerQueue, token), 0);
}

}  // namespace
}  // namespace velunto
