#include "platform/coremediaio/CMIOClientRuntime.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <random>

#include "platform/corefoundation/CFStringBridge.h"
#include "platform/coremediaio/CMIOExtensionProvider.h"
#include "platform/coremediaio/CMIOLocalLink.h"
#include "platform/coremediaio/CMIOPropertyCoding.h"
#include "platform/coremediaio/CMIOSocketDiscovery.h"
#include "platform/oslog/Logger.h"

namespace velunto {

using nlohmann::json;

namespace {

constexpr std::int32_t kSourceQueueCapacity = 8;
constexpr std::int64_t kDefaultSinkQueueCapacity = 2;

const Logger& logger() {
    static const Logger instance("app.velunto.cmio", "Client");
    return instance;
}

std::string makeUUID() {
    std::random_device device;
    std::mt19937_64 generator((static_cast<std::uint64_t>(device()) << 32) ^ device());
    std::uniform_int_distribution<int> nibble(0, 15);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < 32; ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20)
            text += '-';
        int value = nibble(generator);
        if (i == 12)
            value = 4;
        else if (i == 16)
            value = 8 | (value & 3);
        text += kHex[value];
    }
    return text;
}

bool matches(UInt32 registered, UInt32 changed, UInt32 wildcard) {
    return registered == wildcard || changed == wildcard || registered == changed;
}

bool matches(const CMIOObjectPropertyAddress& registered, const CMIOObjectPropertyAddress& changed) {
    return matches(registered.mSelector, changed.mSelector, kCMIOObjectPropertySelectorWildcard) &&
           matches(registered.mScope, changed.mScope, kCMIOObjectPropertyScopeWildcard) &&
           matches(registered.mElement, changed.mElement, kCMIOObjectPropertyElementWildcard);
}

constexpr CMIOObjectPropertyAddress globalAddress(CMIOObjectPropertySelector selector) {
    return {selector, kCMIOObjectPropertyScopeGlobal, kCMIOObjectPropertyElementMain};
}

bool isGlobalMain(const CMIOObjectPropertyAddress& address) {
    return (address.mScope == kCMIOObjectPropertyScopeGlobal || address.mScope == kCMIOObjectPropertyScopeWildcard) &&
           (address.mElement == kCMIOObjectPropertyElementMain ||
            address.mElement == kCMIOObjectPropertyElementWildcard);
}

std::optional<std::string> stringField(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

std::optional<std::int64_t> integerField(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer())
        return std::nullopt;
    return it->get<std::int64_t>();
}

OSStatus statusOf(const json& reply) {
    if (auto status = integerField(reply, "status"); status && *status >= INT32_MIN && *status <= INT32_MAX)
        return static_cast<OSStatus>(*status);
    return kCMIOHardwareUnspecifiedError;
}

}  // namespace

// One property read, in size mode (data == nullptr) or data mode.
struct PropertyAnswer {
    UInt32 capacity = 0;
    void* data = nullptr;
    UInt32 size = 0;

    bool sizeMode() const { return data == nullptr; }

    OSStatus bytes(const void* value, UInt32 count) {
        if (!sizeMode()) {
            if (capacity < count)
                return kCMIOHardwareBadPropertySizeError;
            std::memcpy(data, value, count);
        }
        size = count;
        return kCMIOHardwareNoError;
    }

    template <class T>
    OSStatus scalar(const T& value) {
        return bytes(&value, sizeof(T));
    }

    template <class T>
    OSStatus array(const std::vector<T>& values) {
        const auto full = static_cast<UInt32>(values.size() * sizeof(T));
        if (sizeMode()) {
            size = full;
            return kCMIOHardwareNoError;
        }
        const auto count = std::min<std::size_t>(values.size(), capacity / sizeof(T));
        if (count > 0)
            std::memcpy(data, values.data(), count * sizeof(T));
        size = static_cast<UInt32>(count * sizeof(T));
        return kCMIOHardwareNoError;
    }

    OSStatus string(const std::string& value) {
        if (sizeMode()) {
            size = sizeof(CFStringRef);
            return kCMIOHardwareNoError;
        }
        if (capacity < sizeof(CFStringRef))
            return kCMIOHardwareBadPropertySizeError;
        CFStringRef ref = CFStringCreateWithCString(kCFAllocatorDefault, value.c_str(), kCFStringEncodingUTF8);
        std::memcpy(data, &ref, sizeof ref);
        size = sizeof(CFStringRef);
        return kCMIOHardwareNoError;
    }
};

struct CMIOClientRuntime::Listener {
    std::uint64_t token;
    CMIOObjectID objectID;
    CMIOObjectPropertyAddress address;
    DispatchQueue queue;
    CMIOObjectPropertyListenerBlock block;
    std::atomic<bool> active{true};
};

struct CMIOClientRuntime::FormatInfo {
    CMIOStreamFormat format;
    CMTime minFrameDuration;
    CMTime maxFrameDuration;
};

// Ships what the client enqueues on a sink stream's queue to the provider, on a queue of its own.
struct CMIOClientRuntime::SinkShipper : std::enable_shared_from_this<SinkShipper> {
    SinkShipper(CMIOStreamID id, std::string uuid, std::weak_ptr<CMIOProviderLink> target,
                std::shared_ptr<CMSimpleQueue> queue, CMIODeviceStreamQueueAlteredProc proc, void* refCon)
        : streamID(id),
          streamUUID(std::move(uuid)),
          link(std::move(target)),
          bufferQueue(std::move(queue)),
          shipQueue("app.velunto.cmio.sink." + std::to_string(id)),
          alteredProc(proc),
          alteredRefCon(refCon) {}

    void drain() {
        while (auto sampleBuffer = bufferQueue->dequeue()) {
            if (auto target = link.lock())
                target->sendSinkFrame(streamUUID, sampleBuffer);
            sampleBuffer.reset();
            if (alteredProc)
                alteredProc(streamID, nullptr, alteredRefCon);
        }
    }

    const CMIOStreamID streamID;
    const std::string streamUUID;
    const std::weak_ptr<CMIOProviderLink> link;
    const std::shared_ptr<CMSimpleQueue> bufferQueue;
    const DispatchQueue shipQueue;
    const CMIODeviceStreamQueueAlteredProc alteredProc;
    void* const alteredRefCon;
};

struct CMIOClientRuntime::Stream {
    CMIOObjectID id;
    CMIOObjectID deviceID;
    std::shared_ptr<CMIOProviderLink> link;
    std::string uuid;
    std::string name;
    UInt32 direction;  // kCMIOStreamDirectionSource or kCMIOStreamDirectionSink
    std::vector<FormatInfo> formats;
    // Source streams: where frames arrive.
    std::shared_ptr<CMSimpleQueue> sourceQueue;
    CMIODeviceStreamQueueAlteredProc proc = nullptr;
    void* refCon = nullptr;
    // Sink streams.
    std::shared_ptr<SinkShipper> shipper;
};

struct CMIOClientRuntime::Device {
    CMIOObjectID id;
    std::shared_ptr<CMIOProviderLink> link;
    std::string uuid;
    std::string name;
    std::string uid;
    std::set<std::string> properties;
    std::vector<CMIOObjectID> streams;
};

struct CMIOClientRuntime::LinkState {
    std::shared_ptr<CMIOProviderLink> link;
    std::uint64_t serial = 0;
};

CMIOClientRuntime& CMIOClientRuntime::shared() {
    static auto* runtime = new CMIOClientRuntime();  // never destroyed: link threads may outlive main
    return *runtime;
}

CMIOClientRuntime::CMIOClientRuntime()
    : identity_{makeUUID(), ::getpid(), "app.velunto.client." + std::to_string(::getpid())} {}

void CMIOClientRuntime::activate() {
    std::call_once(activation_, [this] {
        {
            std::lock_guard lock(mutex_);
            active_ = true;
        }
        for (const auto& provider : CMIOExtensionProvider::publishedProviders())
            openLocalLink(provider);
        discovery_ = CMIOSocketDiscovery::start(*this);
    });
}

void CMIOClientRuntime::providerPublished(const std::shared_ptr<CMIOExtensionProvider>& provider) {
    {
        std::lock_guard lock(mutex_);
        if (!active_)
            return;
    }
    openLocalLink(provider);
}

void CMIOClientRuntime::openLocalLink(const std::shared_ptr<CMIOExtensionProvider>& provider) {
    auto link = CMIOLocalLink::make(provider, *this);
    attachLink(link);
    greet(link);
}

bool CMIOClientRuntime::greet(const std::shared_ptr<CMIOProviderLink>& link) {
    const json reply = link->request(json{
        {"op", "hello"}, {"clientID", identity_.clientID}, {"pid", identity_.pid}, {"signingID", identity_.signingID}});
    const auto serial = integerField(reply, "serial");
    if (statusOf(reply) != kCMIOHardwareNoError || !serial || *serial < 0 || !reply.contains("devices")) {
        logger().error("provider refused the connection: %{public}s", reply.dump());
        closeLink(link.get());
        return false;
    }
    linkDeviceList(link.get(), reply["devices"], static_cast<std::uint64_t>(*serial));
    return true;
}

void CMIOClientRuntime::attachLink(std::shared_ptr<CMIOProviderLink> link) {
    std::lock_guard lock(mutex_);
    auto state = std::make_shared<LinkState>();
    state->link = std::move(link);
    links_.push_back(std::move(state));
}

void CMIOClientRuntime::closeLink(CMIOProviderLink* link) {
    std::shared_ptr<CMIOProviderLink> owned;
    {
        std::lock_guard lock(mutex_);
        for (const auto& state : links_)
            if (state->link.get() == link)
                owned = state->link;
    }
    linkClosed(link);
    if (owned)
        owned->close();
}

void CMIOClientRuntime::linkDeviceList(CMIOProviderLink* link, const json& devices, std::uint64_t serial) {
    if (!applyDeviceList(link, devices, serial)) {
        logger().error("malformed device list; closing the connection");
        closeLink(link);
    }
}

bool CMIOClientRuntime::applyDeviceList(CMIOProviderLink* link, const json& devices, std::uint64_t serial) {
    struct StreamDescription {
        std::string uuid, name;
        UInt32 direction;
        std::vector<FormatInfo> formats;
    };
    struct DeviceDescription {
        std::string uuid, name, uid;
        std::set<std::string> properties;
        std::vector<StreamDescription> streams;
    };
    if (!devices.is_array())
        return false;
    std::vector<DeviceDescription> parsed;
    std::set<std::string> seen;
    for (const auto& entry : devices) {
        if (!entry.is_object())
            return false;
        DeviceDescription device;
        auto uuid = stringField(entry, "id");
        auto name = stringField(entry, "name");
        auto properties = decodeNames(entry.value("properties", json()));
        if (!uuid || !name || !properties || !entry.contains("streams") || !entry["streams"].is_array() ||
            !seen.insert(*uuid).second)
            return false;
        device.uuid = *uuid;
        device.name = *name;
        device.properties = std::move(*properties);
        if (entry.contains("legacyID")) {
            auto legacy = stringField(entry, "legacyID");
            if (!legacy)
                return false;
            device.uid = *legacy;
        } else {
            device.uid = device.uuid;
        }
        for (const auto& streamEntry : entry["streams"]) {
            if (!streamEntry.is_object())
                return false;
            auto streamUUID = stringField(streamEntry, "id");
            auto streamName = stringField(streamEntry, "name");
            auto direction = integerField(streamEntry, "direction");
            if (!streamUUID || !streamName || !direction || (*direction != 0 && *direction != 1) ||
                !streamEntry.contains("formats") || !streamEntry["formats"].is_array() ||
                !seen.insert(*streamUUID).second)
                return false;
            StreamDescription stream{
                *streamUUID,
                *streamName,
                *direction == 0 ? UInt32{kCMIOStreamDirectionSource} : UInt32{kCMIOStreamDirectionSink},
                {}};
            for (const auto& formatEntry : streamEntry["formats"]) {
                if (!formatEntry.is_object())
                    return false;
                auto codec = integerField(formatEntry, "codec");
                auto width = integerField(formatEntry, "width");
                auto height = integerField(formatEntry, "height");
                auto minimum = decodeTime(formatEntry.value("minFrameDuration", json()));
                auto maximum = decodeTime(formatEntry.value("maxFrameDuration", json()));
                if (!codec || !width || !height || !minimum || !maximum || *codec < 0 || *codec > UINT32_MAX ||
                    *width <= 0 || *width > INT32_MAX || *height <= 0 || *height > INT32_MAX)
                    return false;
                stream.formats.push_back(
                    {{static_cast<UInt32>(*codec), static_cast<SInt32>(*width), static_cast<SInt32>(*height)},
                     *minimum,
                     *maximum});
            }
            device.streams.push_back(std::move(stream));
        }
        parsed.push_back(std::move(device));
    }

    std::vector<std::pair<CMIOObjectID, std::vector<CMIOObjectPropertyAddress>>> changes;
    {
        std::lock_guard lock(mutex_);
        auto state = std::find_if(links_.begin(), links_.end(), [&](const auto& s) { return s->link.get() == link; });
        if (state == links_.end() || serial <= (*state)->serial)
            return true;  // gone, or an older list than one already applied
        (*state)->serial = serial;
        const auto owner = (*state)->link;

        bool listChanged = false;
        std::set<std::string> present;
        for (const auto& description : parsed)
            present.insert(description.uuid);
        // Devices of this link that vanished.
        for (auto it = deviceOrder_.begin(); it != deviceOrder_.end();) {
            const auto device = devices_.at(*it);
            if (device->link.get() != link || present.contains(device->uuid)) {
                ++it;
                continue;
            }
            for (CMIOObjectID streamID : device->streams)
                streams_.erase(streamID);
            changes.push_back({device->id, {globalAddress(kCMIODevicePropertyDeviceIsAlive)}});
            devices_.erase(device->id);
            it = deviceOrder_.erase(it);
            listChanged = true;
        }
        for (const auto& description : parsed) {
            std::shared_ptr<Device> device;
            for (CMIOObjectID id : deviceOrder_)
                if (devices_.at(id)->link.get() == link && devices_.at(id)->uuid == description.uuid)
                    device = devices_.at(id);
            if (!device) {
                device = std::make_shared<Device>();
                device->id = nextID_++;
                device->link = owner;
                device->uuid = description.uuid;
                devices_[device->id] = device;
                deviceOrder_.push_back(device->id);
                listChanged = true;
            }
            device->name = description.name;
            device->uid = description.uid;
            device->properties = description.properties;
            std::vector<CMIOObjectID> streamIDs;
            for (const auto& streamDescription : description.streams) {
                std::shared_ptr<Stream> stream;
                for (CMIOObjectID id : device->streams)
                    if (streams_.count(id) && streams_.at(id)->uuid == streamDescription.uuid)
                        stream = streams_.at(id);
                if (!stream) {
                    stream = std::make_shared<Stream>();
                    stream->id = nextID_++;
                    stream->deviceID = device->id;
                    stream->link = owner;
                    stream->uuid = streamDescription.uuid;
                    streams_[stream->id] = stream;
                }
                stream->name = streamDescription.name;
                stream->direction = streamDescription.direction;
                stream->formats = streamDescription.formats;
                streamIDs.push_back(stream->id);
            }
            for (CMIOObjectID old : device->streams)
                if (std::find(streamIDs.begin(), streamIDs.end(), old) == streamIDs.end())
                    streams_.erase(old);
            if (streamIDs != device->streams && !device->streams.empty())
                changes.push_back({device->id, {globalAddress(kCMIODevicePropertyStreams)}});
            device->streams = std::move(streamIDs);
        }
        if (listChanged)
            changes.push_back({kCMIOObjectSystemObject, {globalAddress(kCMIOHardwarePropertyDevices)}});
    }
    for (auto& [objectID, addresses] : changes)
        notify(objectID, std::move(addresses));
    return true;
}

void CMIOClientRuntime::linkEvent(CMIOProviderLink* link, const json& event) {
    const auto kind = event.is_object() ? stringField(event, "event") : std::nullopt;
    if (!kind) {
        closeLink(link);
        return;
    }
    if (*kind == "devices") {
        const auto serial = integerField(event, "serial");
        if (!serial || *serial < 0 || !event.contains("devices")) {
            closeLink(link);
            return;
        }
        linkDeviceList(link, event["devices"], static_cast<std::uint64_t>(*serial));
        return;
    }
    if (*kind == "properties") {
        const auto deviceUUID = stringField(event, "device");
        const auto names = decodeNames(event.value("names", json()));
        if (!deviceUUID || !names) {
            closeLink(link);
            return;
        }
        CMIOObjectID target = kCMIOObjectUnknown;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [id, device] : devices_)
                if (device->link.get() == link && device->uuid == *deviceUUID)
                    target = id;
        }
        if (target == kCMIOObjectUnknown)
            return;
        std::vector<CMIOObjectPropertyAddress> addresses;
        for (const auto& name : *names) {
            if (name == "gone")
                addresses.push_back(globalAddress(kCMIODevicePropertyDeviceIsRunningSomewhere));
            else if (name == CMIOExtensionPropertyDeviceModel)
                addresses.push_back(globalAddress(kCMIODevicePropertyModelUID));
            else if (name == CMIOExtensionPropertyDeviceTransportType)
                addresses.push_back(globalAddress(kCMIODevicePropertyTransportType));
            else if (auto selector = CMIOExtensionCustomPropertySelector(name))
                addresses.push_back(globalAddress(*selector));
        }
        if (!addresses.empty())
            notify(target, std::move(addresses));
        return;
    }
    if (*kind == "scheduledOutput") {
        const auto streamUUID = stringField(event, "stream");
        if (!streamUUID) {
            closeLink(link);
            return;
        }
        std::shared_ptr<SinkShipper> shipper;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [id, candidate] : streams_)
                if (candidate->link.get() == link && candidate->uuid == *streamUUID)
                    shipper = candidate->shipper;
        }
        if (shipper && shipper->alteredProc)
            shipper->shipQueue.async(
                [shipper] { shipper->alteredProc(shipper->streamID, nullptr, shipper->alteredRefCon); });
        return;
    }
    logger().info("ignoring unknown event %{public}s", *kind);
}

void CMIOClientRuntime::linkSourceFrame(CMIOProviderLink* link, const std::string& streamID,
                                        CMSampleBufferRef sampleBuffer) {
    std::shared_ptr<CMSimpleQueue> queue;
    CMIODeviceStreamQueueAlteredProc proc = nullptr;
    void* refCon = nullptr;
    CMIOStreamID id = kCMIOObjectUnknown;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [candidateID, stream] : streams_)
            if (stream->link.get() == link && stream->uuid == streamID) {
                queue = stream->sourceQueue;
                proc = stream->proc;
                refCon = stream->refCon;
                id = candidateID;
            }
    }
    if (!queue || queue->enqueue(std::move(sampleBuffer)) != noErr)
        return;
    if (proc)
        proc(id, nullptr, refCon);
}

void CMIOClientRuntime::linkClosed(CMIOProviderLink* link) {
    std::vector<std::pair<CMIOObjectID, std::vector<CMIOObjectPropertyAddress>>> changes;
    std::shared_ptr<LinkState> removed;
    {
        std::lock_guard lock(mutex_);
        auto state = std::find_if(links_.begin(), links_.end(), [&](const auto& s) { return s->link.get() == link; });
        if (state == links_.end())
            return;
        removed = *state;
        links_.erase(state);
        bool listChanged = false;
        for (auto it = deviceOrder_.begin(); it != deviceOrder_.end();) {
            const auto device = devices_.at(*it);
            if (device->link.get() != link) {
                ++it;
                continue;
            }
            for (CMIOObjectID streamID : device->streams)
                streams_.erase(streamID);
            changes.push_back({device->id, {globalAddress(kCMIODevicePropertyDeviceIsAlive)}});
            devices_.erase(device->id);
            it = deviceOrder_.erase(it);
            listChanged = true;
        }
        if (listChanged)
            changes.push_back({kCMIOObjectSystemObject, {globalAddress(kCMIOHardwarePropertyDevices)}});
    }
    for (auto& [objectID, addresses] : changes)
        notify(objectID, std::move(addresses));
}

void CMIOClientRuntime::notify(CMIOObjectID objectID, std::vector<CMIOObjectPropertyAddress> addresses) {
    std::vector<std::pair<std::shared_ptr<Listener>, std::vector<CMIOObjectPropertyAddress>>> hits;
    {
        std::lock_guard lock(mutex_);
        for (const auto& listener : listeners_) {
            if (listener->objectID != objectID)
                continue;
            std::vector<CMIOObjectPropertyAddress> matching;
            for (const auto& address : addresses)
                if (matches(listener->address, address))
                    matching.push_back(address);
            if (!matching.empty())
                hits.emplace_back(listener, std::move(matching));
        }
    }
    for (auto& hit : hits)
        hit.first->queue.async([listener = hit.first, matching = std::move(hit.second)] {
            if (listener->active.load())
                listener->block(static_cast<UInt32>(matching.size()), matching.data());
        });
}

// Reads -------------------------------------------------------------------------------------------

std::optional<CMIOExtensionPropertyStates> CMIOClientRuntime::requestProperties(
    const std::shared_ptr<CMIOProviderLink>& link, const char* op, const char* key, const std::string& id,
    const std::set<std::string>& names, OSStatus* status) {
    const json reply = link->request(json{{"op", op}, {key, id}, {"names", names}});
    *status = statusOf(reply);
    if (*status != kCMIOHardwareNoError)
        return std::nullopt;
    auto values = decodePropertyStates(reply.value("values", json()));
    if (!values)
        *status = kCMIOHardwareUnspecifiedError;
    return values;
}

OSStatus CMIOClientRuntime::readSystem(const CMIOObjectPropertyAddress& address, PropertyAnswer& answer) {
    if (address.mSelector != kCMIOHardwarePropertyDevices)
        return kCMIOHardwareUnknownPropertyError;
    if (discovery_)
        discovery_->rescan();
    std::vector<UInt32> ids;
    {
        std::lock_guard lock(mutex_);
        ids = deviceOrder_;
    }
    return answer.array(ids);
}

OSStatus CMIOClientRuntime::readDevice(const Device& device, const CMIOObjectPropertyAddress& address,
                                       PropertyAnswer& answer) {
    switch (address.mSelector) {
        case kCMIOObjectPropertyName:
            return answer.string(device.name);
        case kCMIODevicePropertyDeviceUID:
            return answer.string(device.uid);
        case kCMIODevicePropertyStreams:
            return answer.array(device.streams);
        case kCMIODevicePropertyDeviceIsAlive:
            return answer.scalar(UInt32{1});
        case kCMIODevicePropertyDeviceIsRunningSomewhere: {
            if (answer.sizeMode())
                return answer.scalar(UInt32{0});
            const json reply = device.link->request(json{{"op", "running"}, {"device", device.uuid}});
            const auto value = reply.find("value");
            if (statusOf(reply) != kCMIOHardwareNoError || value == reply.end() || !value->is_boolean())
                return kCMIOHardwareUnspecifiedError;
            return answer.scalar(UInt32{value->get<bool>() ? 1u : 0u});
        }
        default:
            break;
    }
    std::string name;
    if (address.mSelector == kCMIODevicePropertyModelUID)
        name = CMIOExtensionPropertyDeviceModel;
    else if (address.mSelector == kCMIODevicePropertyTransportType)
        name = CMIOExtensionPropertyDeviceTransportType;
    else
        name = CMIOExtensionCustomPropertyName(address.mSelector);
    if (!device.properties.contains(name))
        return kCMIOHardwareUnknownPropertyError;
    if (answer.sizeMode() && address.mSelector == kCMIODevicePropertyTransportType)
        return answer.scalar(UInt32{0});
    if (answer.sizeMode() && address.mSelector == kCMIODevicePropertyModelUID)
        return answer.string({});
    OSStatus status;
    const auto values = requestProperties(device.link, "deviceProperties", "device", device.uuid, {name}, &status);
    if (!values)
        return status;
    auto it = values->find(name);
    if (it == values->end())
        return kCMIOHardwareUnspecifiedError;
    const auto& value = it->second.value;
    if (const auto* text = std::get_if<std::string>(&value))
        return answer.string(*text);
    if (const auto* integer = std::get_if<std::int64_t>(&value)) {
        if (*integer < 0 || *integer > UINT32_MAX)
            return kCMIOHardwareUnspecifiedError;
        return answer.scalar(static_cast<UInt32>(*integer));
    }
    if (const auto* number = std::get_if<double>(&value))
        return answer.scalar(Float64{*number});
    return kCMIOHardwareUnspecifiedError;
}

OSStatus CMIOClientRuntime::readStream(const Stream& stream, const CMIOObjectPropertyAddress& address,
                                       PropertyAnswer& answer) {
    switch (address.mSelector) {
        case kCMIOObjectPropertyName:
            return answer.string(stream.name);
        case kCMIOStreamPropertyDirection:
            return answer.scalar(stream.direction);
        case kCMIOStreamPropertyFormatDescriptions: {
            std::vector<CMIOStreamFormat> formats;
            for (const auto& format : stream.formats)
                formats.push_back(format.format);
            return answer.array(formats);
        }
        case kCMIOStreamPropertyFormatDescription:
        case kCMIOStreamPropertyFrameRate: {
            const bool rate = address.mSelector == kCMIOStreamPropertyFrameRate;
            if (answer.sizeMode())
                return rate ? answer.scalar(Float64{0}) : answer.scalar(CMIOStreamFormat{});
            OSStatus status;
            const auto values = requestProperties(
                stream.link, "streamProperties", "stream", stream.uuid,
                {CMIOExtensionPropertyStreamActiveFormatIndex, CMIOExtensionPropertyStreamFrameDuration}, &status);
            if (!values)
                return status;
            const auto properties = streamProperties(*values);
            const std::int64_t index = properties.activeFormatIndex.value_or(0);
            if (index < 0 || index >= static_cast<std::int64_t>(stream.formats.size()))
                return kCMIOHardwareUnspecifiedError;
            const auto& format = stream.formats[static_cast<std::size_t>(index)];
            if (!rate)
                return answer.scalar(format.format);
            CMTime duration = properties.frameDuration.value_or(kCMTimeInvalid);
            if (!CMTIME_IS_VALID(duration) || duration.value <= 0)
                duration = format.minFrameDuration;
            if (!CMTIME_IS_VALID(duration) || duration.value <= 0)
                return kCMIOHardwareUnspecifiedError;
            return answer.scalar(Float64{1.0 / CMTimeGetSeconds(duration)});
        }
        default:
            return kCMIOHardwareUnknownPropertyError;
    }
}

OSStatus CMIOClientRuntime::read(CMIOObjectID objectID, const CMIOObjectPropertyAddress& address,
                                 PropertyAnswer& answer) {
    activate();
    if (objectID == kCMIOObjectSystemObject)
        return isGlobalMain(address) ? readSystem(address, answer) : kCMIOHardwareUnknownPropertyError;
    // Copies: a device list arriving meanwhile updates the records in place.
    std::optional<Device> device;
    std::optional<Stream> stream;
    {
        std::lock_guard lock(mutex_);
        if (auto it = devices_.find(objectID); it != devices_.end())
            device = *it->second;
        else if (auto found = streams_.find(objectID); found != streams_.end())
            stream = *found->second;
    }
    if (!device && !stream)
        return kCMIOHardwareBadObjectError;
    if (!isGlobalMain(address))
        return kCMIOHardwareUnknownPropertyError;
    return device ? readDevice(*device, address, answer) : readStream(*stream, address, answer);
}

Boolean CMIOClientRuntime::hasProperty(CMIOObjectID objectID, const CMIOObjectPropertyAddress& address) {
    PropertyAnswer answer;
    return read(objectID, address, answer) == kCMIOHardwareNoError;
}

OSStatus CMIOClientRuntime::getPropertyDataSize(CMIOObjectID objectID, const CMIOObjectPropertyAddress& address,
                                                UInt32* dataSize) {
    if (!dataSize)
        return kCMIOHardwareIllegalOperationError;
    PropertyAnswer answer;
    const OSStatus status = read(objectID, address, answer);
    if (status == kCMIOHardwareNoError)
        *dataSize = answer.size;
    return status;
}

OSStatus CMIOClientRuntime::getPropertyData(CMIOObjectID objectID, const CMIOObjectPropertyAddress& address,
                                            UInt32 dataSize, UInt32* dataUsed, void* data) {
    if (!data || !dataUsed)
        return kCMIOHardwareIllegalOperationError;
    PropertyAnswer answer{dataSize, data, 0};
    const OSStatus status = read(objectID, address, answer);
    *dataUsed = status == kCMIOHardwareNoError ? answer.size : 0;
    return status;
}

OSStatus CMIOClientRuntime::setPropertyData(CMIOObjectID objectID, const CMIOObjectPropertyAddress& address,
                                            UInt32 dataSize, const void* data) {
    activate();
    if (!data)
        return kCMIOHardwareIllegalOperationError;
    std::optional<Device> device;
    std::optional<Stream> stream;
    {
        std::lock_guard lock(mutex_);
        if (auto it = devices_.find(objectID); it != devices_.end())
            device = *it->second;
        else if (auto found = streams_.find(objectID); found != streams_.end())
            stream = *found->second;
    }
    if (objectID == kCMIOObjectSystemObject) {
        PropertyAnswer answer;
        return read(objectID, address, answer) == kCMIOHardwareNoError ? kCMIOHardwareUnsupportedOperationError
                                                                       : kCMIOHardwareUnknownPropertyError;
    }
    if (!device && !stream)
        return kCMIOHardwareBadObjectError;
    if (!isGlobalMain(address))
        return kCMIOHardwareUnknownPropertyError;

    if (stream) {
        if (address.mSelector != kCMIOStreamPropertyFormatDescription) {
            PropertyAnswer answer;
            return readStream(*stream, address, answer) == kCMIOHardwareNoError ? kCMIOHardwareUnsupportedOperationError
                                                                                : kCMIOHardwareUnknownPropertyError;
        }
        if (dataSize != sizeof(CMIOStreamFormat))
            return kCMIOHardwareBadPropertySizeError;
        CMIOStreamFormat wanted;
        std::memcpy(&wanted, data, sizeof wanted);
        const auto found = std::find_if(stream->formats.begin(), stream->formats.end(), [&](const FormatInfo& format) {
            return format.format.codec == wanted.codec && format.format.width == wanted.width &&
                   format.format.height == wanted.height;
        });
        if (found == stream->formats.end())
            return kCMIODeviceUnsupportedFormatError;
        const auto index = static_cast<std::int64_t>(found - stream->formats.begin());
        CMIOExtensionStreamProperties properties;
        properties.activeFormatIndex = index;
        return statusOf(
            stream->link->request(json{{"op", "setStreamProperties"},
                                       {"stream", stream->uuid},
                                       {"values", encodePropertyStates(flattenStreamProperties(properties))}}));
    }

    const std::string name = CMIOExtensionCustomPropertyName(address.mSelector);
    const bool custom = CMIOExtensionCustomPropertySelector(name) && device->properties.contains(name) &&
                        address.mSelector != kCMIODevicePropertyModelUID &&
                        address.mSelector != kCMIODevicePropertyTransportType;
    if (!custom) {
        PropertyAnswer answer;
        return readDevice(*device, address, answer) == kCMIOHardwareNoError ? kCMIOHardwareUnsupportedOperationError
                                                                            : kCMIOHardwareUnknownPropertyError;
    }
    CMIOExtensionPropertyState state;
    if (dataSize == sizeof(CFStringRef)) {
        CFStringRef text;
        std::memcpy(&text, data, sizeof text);
        auto value = stringFromCFString(text);
        if (!value)
            return kCMIOHardwareIllegalOperationError;
        state.value = *value;
    } else if (dataSize == sizeof(UInt32)) {
        UInt32 value;
        std::memcpy(&value, data, sizeof value);
        state.value = std::int64_t{value};
    } else {
        return kCMIOHardwareBadPropertySizeError;
    }
    return statusOf(device->link->request(json{
        {"op", "setDeviceProperties"}, {"device", device->uuid}, {"values", encodePropertyStates({{name, state}})}}));
}

// Listeners, queues, streams ----------------------------------------------------------------------

OSStatus CMIOClientRuntime::addListener(CMIOObjectID objectID, const CMIOObjectPropertyAddress& address,
                                        DispatchQueue queue, CMIOObjectPropertyListenerBlock block,
                                        std::uint64_t* outToken) {
    activate();
    if (!block || !outToken)
        return kCMIOHardwareIllegalOperationError;
    std::lock_guard lock(mutex_);
    if (objectID != kCMIOObjectSystemObject && !devices_.contains(objectID) && !streams_.contains(objectID))
        return kCMIOHardwareBadObjectError;
    auto listener = std::shared_ptr<Listener>(
        new Listener{nextToken_++, objectID, address, std::move(queue), std::move(block), {true}});
    *outToken = listener->token;
    listeners_.push_back(std::move(listener));
    return kCMIOHardwareNoError;
}

OSStatus CMIOClientRuntime::removeListener(CMIOObjectID objectID, const CMIOObjectPropertyAddress& address,
                                           const DispatchQueue& queue, std::uint64_t token) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(listeners_.begin(), listeners_.end(), [&](const auto& listener) {
        return listener->token == token && listener->objectID == objectID &&
               listener->address.mSelector == address.mSelector && listener->address.mScope == address.mScope &&
               listener->address.mElement == address.mElement && listener->queue == queue;
    });
    if (it == listeners_.end())
        return kCMIOHardwareIllegalOperationError;
    (*it)->active.store(false);
    listeners_.erase(it);
    return kCMIOHardwareNoError;
}

OSStatus CMIOClientRuntime::copyBufferQueue(CMIOStreamID streamID, CMIODeviceStreamQueueAlteredProc proc, void* refCon,
                                            std::shared_ptr<CMSimpleQueue>* out) {
    activate();
    if (!out)
        return kCMIOHardwareIllegalOperationError;
    std::shared_ptr<Stream> stream;
    UInt32 direction;
    {
        std::lock_guard lock(mutex_);
        if (auto it = streams_.find(streamID); it != streams_.end())
            stream = it->second;
        else
            return devices_.contains(streamID) ? kCMIOHardwareBadStreamError : kCMIOHardwareBadObjectError;
        direction = stream->direction;
    }

    std::shared_ptr<CMSimpleQueue> queue;
    if (direction == kCMIOStreamDirectionSource) {
        if (CMSimpleQueue::create(kSourceQueueCapacity, &queue) != noErr)
            return kCMIOHardwareUnspecifiedError;
        std::lock_guard lock(mutex_);
        stream->sourceQueue = queue;
        stream->proc = proc;
        stream->refCon = refCon;
        *out = queue;
        return kCMIOHardwareNoError;
    }

    OSStatus status;
    const auto values = requestProperties(stream->link, "streamProperties", "stream", stream->uuid,
                                          {CMIOExtensionPropertyStreamSinkBufferQueueSize}, &status);
    std::int64_t capacity = kDefaultSinkQueueCapacity;
    if (values)
        if (auto size = streamProperties(*values).sinkBufferQueueSize; size && *size > 0 && *size <= 1024)
            capacity = *size;
    if (CMSimpleQueue::create(static_cast<std::int32_t>(capacity), &queue) != noErr)
        return kCMIOHardwareUnspecifiedError;
    auto shipper = std::make_shared<SinkShipper>(streamID, stream->uuid, stream->link, queue, proc, refCon);
    queue->setEnqueueHandler([weak = std::weak_ptr<SinkShipper>(shipper)] {
        if (auto strong = weak.lock())
            strong->shipQueue.async([weak] {
                if (auto owner = weak.lock())
                    owner->drain();
            });
    });
    std::lock_guard lock(mutex_);
    stream->shipper = std::move(shipper);
    *out = queue;
    return kCMIOHardwareNoError;
}

OSStatus CMIOClientRuntime::startStream(CMIODeviceID deviceID, CMIOStreamID streamID) {
    return controlStream(deviceID, streamID, "start");
}

OSStatus CMIOClientRuntime::stopStream(CMIODeviceID deviceID, CMIOStreamID streamID) {
    return controlStream(deviceID, streamID, "stop");
}

OSStatus CMIOClientRuntime::controlStream(CMIODeviceID deviceID, CMIOStreamID streamID, const char* op) {
    activate();
    std::shared_ptr<Stream> stream;
    {
        std::lock_guard lock(mutex_);
        if (!devices_.contains(deviceID))
            return kCMIOHardwareBadDeviceError;
        auto it = streams_.find(streamID);
        if (it == streams_.end() || it->second->deviceID != deviceID)
            return kCMIOHardwareBadStreamError;
        stream = it->second;
    }
    return statusOf(stream->link->request(json{{"op", op}, {"stream", stream->uuid}}));
}

}  // namespace velunto
