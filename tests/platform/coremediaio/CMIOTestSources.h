#pragma once

// Sources for a test device: two streams (a source stream offering two sizes and a sink stream),
// a custom string property 'vnsa' and a custom number 'cnt '. Every call records whether it ran
// on the provider's queue.

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/coremediaio/CMIOExtensionDevice.h"
#include "platform/coremediaio/CMIOExtensionProvider.h"
#include "platform/coremediaio/CMIOExtensionStream.h"

namespace velunto::cmiotest {

inline constexpr const char* kDeviceID = "6F0C2B4E-1D3A-4C5B-9E8F-7A6B5C4D3E2F";
inline constexpr const char* kSourceStreamID = "11111111-2222-4333-8444-555555555555";
inline constexpr const char* kSinkStreamID = "AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE";
inline const std::string kLabelProperty = "4cc_vnsa_glob_0000";
inline const std::string kCountProperty = "4cc_cnt _glob_0000";

class QueueCheck {
public:
    explicit QueueCheck(DispatchQueue queue) : queue_(std::move(queue)) {}
    void check() {
        if (!queue_.isCurrent())
            offQueueCalls.fetch_add(1);
    }
    std::atomic<int> offQueueCalls{0};

private:
    DispatchQueue queue_;
};

class TestProviderSource : public CMIOExtensionProviderSource {
public:
    explicit TestProviderSource(QueueCheck& check) : check_(check) {}
    bool connectClient(const CMIOExtensionClient& client, NSError* error) override {
        check_.check();
        std::lock_guard lock(mutex);
        if (refuse) {
            *error = NSError{"test", 7, "refused"};
            return false;
        }
        connected.push_back(client);
        return true;
    }
    void disconnectClient(const CMIOExtensionClient& client) override {
        check_.check();
        std::lock_guard lock(mutex);
        disconnected.push_back(client);
    }
    std::set<std::string> availableProperties() override { return {CMIOExtensionPropertyProviderManufacturer}; }
    std::optional<CMIOExtensionProviderProperties> providerPropertiesForProperties(const std::set<std::string>&,
                                                                                   NSError*) override {
        CMIOExtensionProviderProperties properties;
        properties.manufacturer = "Test";
        return properties;
    }
    bool setProviderProperties(const CMIOExtensionProviderProperties&, NSError*) override { return false; }

    std::mutex mutex;
    bool refuse = false;
    std::vector<CMIOExtensionClient> connected;
    std::vector<CMIOExtensionClient> disconnected;

private:
    QueueCheck& check_;
};

class TestDeviceSource : public CMIOExtensionDeviceSource {
public:
    explicit TestDeviceSource(QueueCheck& check) : check_(check) {}
    std::set<std::string> availableProperties() override {
        check_.check();
        return {CMIOExtensionPropertyDeviceModel, CMIOExtensionPropertyDeviceTransportType, kLabelProperty,
                kCountProperty};
    }
    std::optional<CMIOExtensionDeviceProperties> devicePropertiesForProperties(const std::set<std::string>& names,
                                                                               NSError*) override {
        check_.check();
        std::lock_guard lock(mutex);
        CMIOExtensionDeviceProperties properties;
        if (names.contains(CMIOExtensionPropertyDeviceModel))
            properties.model = "Test Model";
        if (names.contains(CMIOExtensionPropertyDeviceTransportType))
            properties.transportType = 'virt';
        if (names.contains(kLabelProperty))
            properties.propertiesDictionary[kLabelProperty] = {label};
        if (names.contains(kCountProperty))
            properties.propertiesDictionary[kCountProperty] = {count};
        return properties;
    }
    bool setDeviceProperties(const CMIOExtensionDeviceProperties& properties, NSError*) override {
        check_.check();
        std::lock_guard lock(mutex);
        auto it = properties.propertiesDictionary.find(kLabelProperty);
        if (it == properties.propertiesDictionary.end() || !std::holds_alternative<std::string>(it->second.value))
            return false;
        label = std::get<std::string>(it->second.value);
        return true;
    }

    std::mutex mutex;
    std::string label = "0";
    std::int64_t count = 42;

private:
    QueueCheck& check_;
};

class TestStreamSource : public CMIOExtensionStreamSource {
public:
    TestStreamSource(QueueCheck& check, CMIOExtensionStreamDirection direction) : check_(check), direction_(direction) {
        for (auto [width, height] : {std::pair{1280, 720}, std::pair{1920, 1080}}) {
            std::shared_ptr<const CMVideoFormatDescription> description;
            CMVideoFormatDescription::create(kCVPixelFormatType_32BGRA, width, height, &description);
            formats_.push_back(CMIOExtensionStreamFormat::make(description, CMTimeMake(1, 30), CMTimeMake(1, 30), {}));
        }
    }
    std::vector<std::shared_ptr<CMIOExtensionStreamFormat>> formats() override {
        check_.check();
        return formats_;
    }
    std::set<std::string> availableProperties() override {
        check_.check();
        return {CMIOExtensionPropertyStreamActiveFormatIndex, CMIOExtensionPropertyStreamFrameDuration,
                CMIOExtensionPropertyStreamSinkBufferQueueSize};
    }
    std::optional<CMIOExtensionStreamProperties> streamPropertiesForProperties(const std::set<std::string>& names,
                                                                               NSError*) override {
        check_.check();
        std::lock_guard lock(mutex);
        CMIOExtensionStreamProperties properties;
        if (names.contains(CMIOExtensionPropertyStreamActiveFormatIndex))
            properties.activeFormatIndex = activeFormatIndex;
        if (names.contains(CMIOExtensionPropertyStreamFrameDuration))
            properties.frameDuration = CMTimeMake(1, 25);
        if (direction_ == CMIOExtensionStreamDirection::sink &&
            names.contains(CMIOExtensionPropertyStreamSinkBufferQueueSize))
            properties.sinkBufferQueueSize = sinkQueueSize;
        return properties;
    }
    bool setStreamProperties(const CMIOExtensionStreamProperties& properties, NSError*) override {
        check_.check();
        std::lock_guard lock(mutex);
        if (properties.activeFormatIndex)
            activeFormatIndex = *properties.activeFormatIndex;
        return true;
    }
    bool authorizedToStartStreamForClient(const CMIOExtensionClient& client) override {
        check_.check();
        std::lock_guard lock(mutex);
        authorizedClients.push_back(client);
        return authorize;
    }
    bool startStream(NSError*) override {
        check_.check();
        startCount.fetch_add(1);
        return true;
    }
    bool stopStream(NSError*) override {
        check_.check();
        stopCount.fetch_add(1);
        return true;
    }

    std::mutex mutex;
    std::int64_t activeFormatIndex = 0;
    std::int64_t sinkQueueSize = 2;
    bool authorize = true;
    std::vector<CMIOExtensionClient> authorizedClients;
    std::atomic<int> startCount{0};
    std::atomic<int> stopCount{0};

private:
    QueueCheck& check_;
    const CMIOExtensionStreamDirection direction_;
    std::vector<std::shared_ptr<CMIOExtensionStreamFormat>> formats_;
};

// The whole test extension: provider, device, streams and their sources.
struct TestExtension {
    explicit TestExtension(DispatchQueue queue, const std::string& deviceID = kDeviceID,
                           const std::string& name = "Test Camera")
        : check(queue),
          providerSource(std::make_shared<TestProviderSource>(check)),
          deviceSource(std::make_shared<TestDeviceSource>(check)),
          sourceStreamSource(std::make_shared<TestStreamSource>(check, CMIOExtensionStreamDirection::source)),
          sinkStreamSource(std::make_shared<TestStreamSource>(check, CMIOExtensionStreamDirection::sink)),
          provider(CMIOExtensionProvider::make(providerSource, queue)),
          device(CMIOExtensionDevice::make(name, deviceID, "test.camera." + deviceID.substr(0, 4), deviceSource)),
          sourceStream(CMIOExtensionStream::make("Test Out", deviceID.substr(0, 9) + (kSourceStreamID + 9),
                                                 CMIOExtensionStreamDirection::source,
                                                 CMIOExtensionStreamClockType::hostTime, sourceStreamSource)),
          sinkStream(CMIOExtensionStream::make("Test In", deviceID.substr(0, 9) + (kSinkStreamID + 9),
                                               CMIOExtensionStreamDirection::sink,
                                               CMIOExtensionStreamClockType::hostTime, sinkStreamSource)) {
        device->addStream(sourceStream, nullptr);
        device->addStream(sinkStream, nullptr);
        provider->addDevice(device, nullptr);
    }

    QueueCheck check;
    std::shared_ptr<TestProviderSource> providerSource;
    std::shared_ptr<TestDeviceSource> deviceSource;
    std::shared_ptr<TestStreamSource> sourceStreamSource;
    std::shared_ptr<TestStreamSource> sinkStreamSource;
    std::shared_ptr<CMIOExtensionProvider> provider;
    std::shared_ptr<CMIOExtensionDevice> device;
    std::shared_ptr<CMIOExtensionStream> sourceStream;
    std::shared_ptr<CMIOExtensionStream> sinkStream;
};

}  // namespace velunto::cmiotest
