#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/corefoundation/MacTypes.h"
#include "platform/coremedia/CMSampleBuffer.h"
#include "platform/coremediaio/CMIOExtensionClient.h"
#include "platform/coremediaio/CMIOExtensionStreamSource.h"
#include "platform/foundation/NSError.h"

namespace velunto {

class CMIOExtensionDevice;
class CMIOProviderConnection;

enum class CMIOExtensionStreamDirection { source = 0, sink = 1 };
enum class CMIOExtensionStreamClockType { hostTime = 0, linkedCoreAudioDeviceUID = 1, custom = 2 };

struct CMIOExtensionScheduledOutput {
    std::uint64_t sequenceNumber;
    std::uint64_t hostTimeInNanoseconds;
};

inline const std::string CMIOExtensionErrorDomain = "com.apple.cmio.CMIOExtensionErrorDomain";

// One stream of a device. A source stream sends frames to every client that started it; a sink
// stream keeps, per client, the frames that client enqueued until the extension consumes them.
class CMIOExtensionStream : public std::enable_shared_from_this<CMIOExtensionStream> {
public:
    // The source is held weakly.
    static std::shared_ptr<CMIOExtensionStream> make(std::string localizedName, std::string streamID,
                                                     CMIOExtensionStreamDirection direction,
                                                     CMIOExtensionStreamClockType clockType,
                                                     std::shared_ptr<CMIOExtensionStreamSource> source);

    const std::string& localizedName() const { return localizedName_; }
    const std::string& streamID() const { return streamID_; }
    CMIOExtensionStreamDirection direction() const { return direction_; }
    CMIOExtensionStreamClockType clockType() const { return clockType_; }
    std::shared_ptr<CMIOExtensionStreamSource> source() const { return source_.lock(); }
    std::shared_ptr<CMIOExtensionDevice> device() const;

    // Source streams: to every client running the stream. Any thread, one at a time.
    void sendSampleBuffer(CMSampleBufferRef sampleBuffer, std::uint32_t discontinuity,
                          std::uint64_t hostTimeInNanoseconds);

    using ConsumeCompletion =
        std::function<void(CMSampleBufferRef sampleBuffer, std::uint64_t sequenceNumber, std::uint32_t discontinuity,
                           bool hasMoreSampleBuffers, std::optional<NSError> error)>;
    // Sink streams: the oldest frame that client sent and nobody consumed yet. The completion runs
    // on the calling thread before this returns; with a null buffer and an error when nothing waits.
    void consumeSampleBufferFromClient(const CMIOExtensionClient& client, ConsumeCompletion completion);
    void notifyScheduledOutputChanged(const CMIOExtensionScheduledOutput& output);

    std::size_t runningClientCount() const;
    std::optional<CMIOExtensionScheduledOutput> lastScheduledOutput() const;

    // Used by the framework, on the provider's client queue.
    void attachToDevice(std::weak_ptr<CMIOExtensionDevice> device);
    // A CMIO status: authorisation refused 'nope', the source refusing to start 'what'.
    OSStatus startForConnection(const std::shared_ptr<CMIOProviderConnection>& connection);
    // 'stop' when that connection does not run the stream.
    OSStatus stopForConnection(const CMIOProviderConnection& connection);
    // Dropped unless the connection runs this sink stream; the oldest goes when its queue is full.
    void acceptSinkBuffer(const CMIOProviderConnection& connection, CMSampleBufferRef sampleBuffer);

private:
    CMIOExtensionStream(std::string localizedName, std::string streamID, CMIOExtensionStreamDirection direction,
                        CMIOExtensionStreamClockType clockType, std::shared_ptr<CMIOExtensionStreamSource> source);

    struct SinkEntry {
        CMSampleBufferRef sampleBuffer;
        std::uint64_t sequenceNumber;
    };
    struct SinkQueue {
        std::deque<SinkEntry> entries;
        std::size_t capacity = 2;
        std::uint64_t nextSequenceNumber = 0;
    };

    const std::string localizedName_;
    const std::string streamID_;
    const CMIOExtensionStreamDirection direction_;
    const CMIOExtensionStreamClockType clockType_;
    const std::weak_ptr<CMIOExtensionStreamSource> source_;

    mutable std::mutex mutex_;
    std::weak_ptr<CMIOExtensionDevice> device_;
    std::vector<std::shared_ptr<CMIOProviderConnection>> running_;
    std::map<std::string, SinkQueue> sinkQueues_;  // by client ID
    std::optional<CMIOExtensionScheduledOutput> lastScheduledOutput_;
};

}  // namespace velunto
