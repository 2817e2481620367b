#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/coremediaio/CMIOClientChannel.h"
#include "platform/coremediaio/CMIOExtensionClient.h"

namespace velunto {

class CMIOExtensionProvider;
class CMIOExtensionDevice;

// The provider's side of one client: answers its requests, keeps what it started and forwards
// events and frames to it through its channel.
//
// Requests (JSON objects with "op"); every reply carries "status" (a CMIO status):
//   hello {clientID, pid, signingID} -> {devices, serial}     must come first; the provider may refuse
//   devices -> {devices, serial}
//   deviceProperties {device, names} -> {values}      setDeviceProperties {device, values}
//   streamProperties {stream, names} -> {values}      setStreamProperties {stream, values}
//   start {stream}  stop {stream}  running {device} -> {value}
// Events: {event: "devices", devices, serial}, {event: "properties", device, names},
//         {event: "scheduledOutput", stream, sequenceNumber, hostTime}
class CMIOProviderConnection : public std::enable_shared_from_this<CMIOProviderConnection> {
public:
    CMIOProviderConnection(std::shared_ptr<CMIOExtensionProvider> provider, std::shared_ptr<CMIOClientChannel> channel);

    // On the provider's client queue. A malformed request gives nothing: the caller closes the connection.
    std::optional<nlohmann::json> handleRequest(const nlohmann::json& request);
    void receiveSinkBuffer(const std::string& streamID, CMSampleBufferRef sampleBuffer);
    // Stops what this client runs and disconnects it from the provider's source. Idempotent.
    void close();

    // Any thread.
    void sendEvent(const nlohmann::json& event);
    void sendSourceFrame(const std::string& streamID, const CMSampleBufferRef& sampleBuffer,
                         std::uint32_t discontinuity, std::uint64_t hostTimeInNanoseconds);
    void closeFromProvider();
    // Sends the device list with the next serial number (lists are applied in serial order).
    void sendDeviceList(const nlohmann::json& devices);
    CMIOExtensionClient client() const;
    bool isConnected() const { return connected_.load(); }

    // The device list as clients see it; on the provider's client queue.
    static nlohmann::json describeDevices(const CMIOExtensionProvider& provider);

private:
    std::optional<nlohmann::json> hello(const nlohmann::json& request);
    std::optional<nlohmann::json> startOrStop(const nlohmann::json& request, bool start);
    void announceRunningChange(const std::shared_ptr<CMIOExtensionDevice>& device, bool wasRunning);

    const std::weak_ptr<CMIOExtensionProvider> provider_;
    const std::shared_ptr<CMIOClientChannel> channel_;
    mutable std::mutex mutex_;
    CMIOExtensionClient client_;
    std::atomic<bool> connected_{false};
    std::atomic<bool> closed_{false};
    std::atomic<std::uint64_t> deviceListSerial_{0};
};

}  // namespace velunto
