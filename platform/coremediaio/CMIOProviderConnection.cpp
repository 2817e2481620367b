#include "platform/coremediaio/CMIOProviderConnection.h"

#include "platform/coremediaio/CMIOExtensionProvider.h"
#include "platform/coremediaio/CMIOHardware.h"
#include "platform/coremediaio/CMIOPropertyCoding.h"
#include "platform/oslog/Logger.h"

namespace velunto {

using nlohmann::json;

namespace {

const Logger& logger() {
    static const Logger instance("app.velunto.cmio", "ProviderConnection");
    return instance;
}

json status(OSStatus code) {
    return json{{"status", code}};
}

const std::string* stringField(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return nullptr;
    return it->get_ptr<const std::string*>();
}

json describeFormat(const CMIOExtensionStreamFormat& format) {
    const auto& description = *format.formatDescription();
    json durations = json::array();
    for (const auto& duration : format.validFrameDurations())
        durations.push_back(encodeTime(duration));
    return json{{"codec", description.mediaSubType()},
                {"width", description.width()},
                {"height", description.height()},
                {"maxFrameDuration", encodeTime(format.maxFrameDuration())},
                {"minFrameDuration", encodeTime(format.minFrameDuration())},
                {"validFrameDurations", durations}};
}

}  // namespace

CMIOProviderConnection::CMIOProviderConnection(std::shared_ptr<CMIOExtensionProvider> provider,
                                               std::shared_ptr<CMIOClientChannel> channel)
    : provider_(provider), channel_(std::move(channel)) {}

json CMIOProviderConnection::describeDevices(const CMIOExtensionProvider& provider) {
    json devices = json::array();
    for (const auto& device : provider.devices()) {
        json streams = json::array();
        for (const auto& stream : device->streams()) {
            json formats = json::array();
            if (auto source = stream->source())
                for (const auto& format : source->formats())
                    if (format)
                        formats.push_back(describeFormat(*format));
            streams.push_back(json{{"id", stream->streamID()},
                                   {"name", stream->localizedName()},
                                   {"direction", static_cast<int>(stream->direction())},
                                   {"formats", formats}});
        }
        json properties = json::array();
        if (auto source = device->source())
            for (const auto& name : source->availableProperties())
                properties.push_back(name);
        json entry{{"id", device->deviceID()},
                   {"name", device->localizedName()},
                   {"properties", properties},
                   {"streams", streams}};
        if (device->legacyDeviceID())
            entry["legacyID"] = *device->legacyDeviceID();
        devices.push_back(std::move(entry));
    }
    return devices;
}

CMIOExtensionClient CMIOProviderConnection::client() const {
    std::lock_guard lock(mutex_);
    return client_;
}

std::optional<json> CMIOProviderConnection::handleRequest(const json& request) {
    if (closed_.load())
        return status(kCMIOHardwareIllegalOperationError);
    const std::string* op = request.is_object() ? stringField(request, "op") : nullptr;
    if (!op)
        return std::nullopt;
    if (*op == "hello")
        return connected_.load() ? std::nullopt : hello(request);
    if (!connected_.load())
        return std::nullopt;
    const auto provider = provider_.lock();
    if (!provider)
        return status(kCMIOHardwareIllegalOperationError);
    if (*op == "devices")
        return json{
            {"status", kCMIOHardwareNoError}, {"devices", describeDevices(*provider)}, {"serial", ++deviceListSerial_}};
    if (*op == "start" || *op == "stop")
        return startOrStop(request, *op == "start");

    if (*op == "deviceProperties" || *op == "setDeviceProperties" || *op == "running") {
        const std::string* deviceID = stringField(request, "device");
        if (!deviceID)
            return std::nullopt;
        const auto device = provider->device(*deviceID);
        if (!device)
            return status(kCMIOHardwareBadDeviceError);
        if (*op == "running")
            return json{{"status", kCMIOHardwareNoError}, {"value", device->isRunningSomewhere()}};
        const auto source = device->source();
        if (!source)
            return status(kCMIOHardwareBadDeviceError);
        NSError error;
        if (*op == "deviceProperties") {
            auto names = decodeNames(request.value("names", json()));
            if (!names)
                return std::nullopt;
            auto properties = source->devicePropertiesForProperties(*names, &error);
            if (!properties)
                return status(kCMIOHardwareUnspecifiedError);
            return json{{"status", kCMIOHardwareNoError},
                        {"values", encodePropertyStates(flattenDeviceProperties(*properties))}};
        }
        auto values = decodePropertyStates(request.value("values", json()));
        if (!values)
            return std::nullopt;
        return status(source->setDeviceProperties(deviceProperties(*values), &error) ? kCMIOHardwareNoError
                                                                                     : kCMIOHardwareUnspecifiedError);
    }

    if (*op == "streamProperties" || *op == "setStreamProperties") {
        const std::string* streamID = stringField(request, "stream");
        if (!streamID)
            return std::nullopt;
        const auto stream = provider->stream(*streamID);
        const auto source = stream ? stream->source() : nullptr;
        if (!source)
            return status(kCMIOHardwareBadStreamError);
        NSError error;
        if (*op == "streamProperties") {
            auto names = decodeNames(request.value("names", json()));
            if (!names)
                return std::nullopt;
            auto properties = source->streamPropertiesForProperties(*names, &error);
            if (!properties)
                return status(kCMIOHardwareUnspecifiedError);
            return json{{"status", kCMIOHardwareNoError},
                        {"values", encodePropertyStates(flattenStreamProperties(*properties))}};
        }
        auto values = decodePropertyStates(request.value("values", json()));
        if (!values)
            return std::nullopt;
        const auto properties = streamProperties(*values);
        if (properties.activeFormatIndex) {
            const auto count = static_cast<std::int64_t>(source->formats().size());
            if (*properties.activeFormatIndex < 0 || *properties.activeFormatIndex >= count)
                return status(kCMIODeviceUnsupportedFormatError);
        }
        return status(source->setStreamProperties(properties, &error) ? kCMIOHardwareNoError
                                                                      : kCMIOHardwareUnspecifiedError);
    }
    return std::nullopt;
}

std::optional<json> CMIOProviderConnection::hello(const json& request) {
    const std::string* clientID = stringField(request, "clientID");
    const std::string* signingID = stringField(request, "signingID");
    const auto pid = request.find("pid");
    if (!clientID || !signingID || pid == request.end() || !pid->is_number_integer())
        return std::nullopt;
    const auto provider = provider_.lock();
    const auto source = provider ? provider->source() : nullptr;
    if (!source)
        return status(kCMIOHardwareIllegalOperationError);
    CMIOExtensionClient client{*clientID, static_cast<pid_t>(pid->get<std::int64_t>()), *signingID};
    if (const pid_t known = channel_->peerPID(); known != 0)
        client.pid = known;
    NSError error;
    if (!source->connectClient(client, &error)) {
        logger().info("provider refused client %{public}s: %{public}s", client.clientID, error.localizedDescription);
        return json{{"status", kCMIOHardwareIllegalOperationError}, {"error", error.localizedDescription}};
    }
    {
        std::lock_guard lock(mutex_);
        client_ = client;
    }
    connected_.store(true);
    provider->connectionOpened(shared_from_this());
    return json{
        {"status", kCMIOHardwareNoError}, {"devices", describeDevices(*provider)}, {"serial", ++deviceListSerial_}};
}

std::optional<json> CMIOProviderConnection::startOrStop(const json& request, bool start) {
    const std::string* streamID = stringField(request, "stream");
    if (!streamID)
        return std::nullopt;
    const auto provider = provider_.lock();
    const auto stream = provider ? provider->stream(*streamID) : nullptr;
    if (!stream)
        return status(kCMIOHardwareBadStreamError);
    const auto device = stream->device();
    const bool wasRunning = device && device->isRunningSomewhere();
    const OSStatus result = start ? stream->startForConnection(shared_from_this()) : stream->stopForConnection(*this);
    announceRunningChange(device, wasRunning);
    return status(result);
}

void CMIOProviderConnection::announceRunningChange(const std::shared_ptr<CMIOExtensionDevice>& device,
                                                   bool wasRunning) {
    if (!device || device->isRunningSomewhere() == wasRunning)
        return;
    if (const auto provider = provider_.lock())
        provider->devicePropertiesChanged(device->deviceID(), {"gone"});
}

void CMIOProviderConnection::receiveSinkBuffer(const std::string& streamID, CMSampleBufferRef sampleBuffer) {
    const auto provider = provider_.lock();
    const auto stream = provider ? provider->stream(streamID) : nullptr;
    if (stream && stream->direction() == CMIOExtensionStreamDirection::sink)
        stream->acceptSinkBuffer(*this, std::move(sampleBuffer));
}

void CMIOProviderConnection::close() {
    if (closed_.exchange(true))
        return;
    const auto provider = provider_.lock();
    if (!provider)
        return;
    if (connected_.load()) {
        for (const auto& device : provider->devices()) {
            const bool wasRunning = device->isRunningSomewhere();
            for (const auto& stream : device->streams())
                stream->stopForConnection(*this);
            announceRunningChange(device, wasRunning);
        }
        if (const auto source = provider->source())
            source->disconnectClient(client());
    }
    provider->connectionClosed(*this);
}

void CMIOProviderConnection::sendEvent(const json& event) {
    if (!closed_.load())
        channel_->sendEvent(event);
}

void CMIOProviderConnection::sendSourceFrame(const std::string& streamID, const CMSampleBufferRef& sampleBuffer,
                                             std::uint32_t discontinuity, std::uint64_t hostTimeInNanoseconds) {
    if (!closed_.load())
        channel_->sendSourceFrame(streamID, sampleBuffer, discontinuity, hostTimeInNanoseconds);
}

void CMIOProviderConnection::sendDeviceList(const json& devices) {
    if (!closed_.load())
        channel_->sendEvent(json{{"event", "devices"}, {"devices", devices}, {"serial", ++deviceListSerial_}});
}

void CMIOProviderConnection::closeFromProvider() {
    channel_->closeFromProvider();
}

}  // namespace velunto
