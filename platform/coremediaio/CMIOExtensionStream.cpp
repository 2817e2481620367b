#include "platform/coremediaio/CMIOExtensionStream.h"

#include <algorithm>

#include "platform/coremediaio/CMIOExtensionDevice.h"
#include "platform/coremediaio/CMIOExtensionProvider.h"
#include "platform/coremediaio/CMIOHardware.h"
#include "platform/coremediaio/CMIOPropertyCoding.h"
#include "platform/coremediaio/CMIOProviderConnection.h"

namespace velunto {

namespace {
constexpr std::size_t kDefaultSinkQueueSize = 2;
constexpr long kNoSampleBufferErrorCode = -1;  // nothing waiting from that client
}  // namespace

std::shared_ptr<CMIOExtensionStream> CMIOExtensionStream::make(std::string localizedName, std::string streamID,
                                                               CMIOExtensionStreamDirection direction,
                                                               CMIOExtensionStreamClockType clockType,
                                                               std::shared_ptr<CMIOExtensionStreamSource> source) {
    return std::shared_ptr<CMIOExtensionStream>(new CMIOExtensionStream(std::move(localizedName), std::move(streamID),
                                                                        direction, clockType, std::move(source)));
}

CMIOExtensionStream::CMIOExtensionStream(std::string localizedName, std::string streamID,
                                         CMIOExtensionStreamDirection direction, CMIOExtensionStreamClockType clockType,
                                         std::shared_ptr<CMIOExtensionStreamSource> source)
    : localizedName_(std::move(localizedName)),
      streamID_(std::move(streamID)),
      direction_(direction),
      clockType_(clockType),
      source_(source) {}

std::shared_ptr<CMIOExtensionDevice> CMIOExtensionStream::device() const {
    std::lock_guard lock(mutex_);
    return device_.lock();
}

void CMIOExtensionStream::attachToDevice(std::weak_ptr<CMIOExtensionDevice> device) {
    std::lock_guard lock(mutex_);
    device_ = std::move(device);
}

std::size_t CMIOExtensionStream::runningClientCount() const {
    std::lock_guard lock(mutex_);
    return running_.size();
}

std::optional<CMIOExtensionScheduledOutput> CMIOExtensionStream::lastScheduledOutput() const {
    std::lock_guard lock(mutex_);
    return lastScheduledOutput_;
}

void CMIOExtensionStream::sendSampleBuffer(CMSampleBufferRef sampleBuffer, std::uint32_t discontinuity,
                                           std::uint64_t hostTimeInNanoseconds) {
    if (direction_ != CMIOExtensionStreamDirection::source || !sampleBuffer)
        return;
    std::vector<std::shared_ptr<CMIOProviderConnection>> targets;
    {
        std::lock_guard lock(mutex_);
        targets = running_;
    }
    for (const auto& connection : targets)
        connection->sendSourceFrame(streamID_, sampleBuffer, discontinuity, hostTimeInNanoseconds);
}

void CMIOExtensionStream::consumeSampleBufferFromClient(const CMIOExtensionClient& client,
                                                        ConsumeCompletion completion) {
    if (!completion)
        return;
    std::optional<SinkEntry> entry;
    bool more = false;
    {
        std::lock_guard lock(mutex_);
        auto it = sinkQueues_.find(client.clientID);
        if (it != sinkQueues_.end() && !it->second.entries.empty()) {
            entry = std::move(it->second.entries.front());
            it->second.entries.pop_front();
            more = !it->second.entries.empty();
        }
    }
    if (!entry) {
        completion(nullptr, 0, 0, false,
                   NSError{CMIOExtensionErrorDomain, kNoSampleBufferErrorCode, "No sample buffer is waiting."});
        return;
    }
    completion(std::move(entry->sampleBuffer), entry->sequenceNumber, 0, more, std::nullopt);
}

void CMIOExtensionStream::notifyScheduledOutputChanged(const CMIOExtensionScheduledOutput& output) {
    std::vector<std::shared_ptr<CMIOProviderConnection>> targets;
    {
        std::lock_guard lock(mutex_);
        lastScheduledOutput_ = output;
        targets = running_;
    }
    const nlohmann::json event{{"event", "scheduledOutput"},
                               {"stream", streamID_},
                               {"sequenceNumber", output.sequenceNumber},
                               {"hostTime", output.hostTimeInNanoseconds}};
    for (const auto& connection : targets)
        connection->sendEvent(event);
}

OSStatus CMIOExtensionStream::startForConnection(const std::shared_ptr<CMIOProviderConnection>& connection) {
    const auto source = source_.lock();
    if (!source)
        return kCMIOHardwareBadStreamError;
    bool first;
    {
        std::lock_guard lock(mutex_);
        if (std::find(running_.begin(), running_.end(), connection) != running_.end())
            return kCMIOHardwareNoError;
        first = running_.empty();
    }
    const CMIOExtensionClient client = connection->client();
    if (!source->authorizedToStartStreamForClient(client))
        return kCMIOHardwareIllegalOperationError;
    std::size_t capacity = kDefaultSinkQueueSize;
    if (direction_ == CMIOExtensionStreamDirection::sink) {
        NSError error;
        const auto properties =
            source->streamPropertiesForProperties({CMIOExtensionPropertyStreamSinkBufferQueueSize}, &error);
        if (properties && properties->sinkBufferQueueSize && *properties->sinkBufferQueueSize > 0)
            capacity = static_cast<std::size_t>(*properties->sinkBufferQueueSize);
    }
    if (first) {
        NSError error;
        if (!source->startStream(&error))
            return kCMIOHardwareUnspecifiedError;
    }
    std::lock_guard lock(mutex_);
    running_.push_back(connection);
    if (direction_ == CMIOExtensionStreamDirection::sink) {
        SinkQueue queue;
        queue.capacity = capacity;
        sinkQueues_[client.clientID] = std::move(queue);
    }
    return kCMIOHardwareNoError;
}

OSStatus CMIOExtensionStream::stopForConnection(const CMIOProviderConnection& connection) {
    bool last;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(running_.begin(), running_.end(),
                               [&](const auto& running) { return running.get() == &connection; });
        if (it == running_.end())
            return kCMIOHardwareNotRunningError;
        running_.erase(it);
        sinkQueues_.erase(connection.client().clientID);
        last = running_.empty();
    }
    if (last)
        if (const auto source = source_.lock()) {
            NSError error;
            if (!source->stopStream(&error))
                return kCMIOHardwareUnspecifiedError;
        }
    return kCMIOHardwareNoError;
}

void CMIOExtensionStream::acceptSinkBuffer(const CMIOProviderConnection& connection, CMSampleBufferRef sampleBuffer) {
    if (!sampleBuffer)
        return;
    std::lock_guard lock(mutex_);
    if (std::none_of(running_.begin(), running_.end(),
                     [&](const auto& running) { return running.get() == &connection; }))
        return;
    auto& queue = sinkQueues_[connection.client().clientID];
    while (queue.entries.size() >= queue.capacity)
        queue.entries.pop_front();
    queue.entries.push_back({std::move(sampleBuffer), queue.nextSequenceNumber++});
}

}  // namespace velunto
