#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/coremedia/CMSampleBuffer.h"
#include "platform/coremediaio/CMIOWireFormat.h"

namespace velunto {

// One end of a socket connection between a provider and a client process. A thread of its own reads
// the messages and hands them to the handlers; a malformed message closes the connection.
//
// Frames cross without a copy: the first frame of a buffer carries its fd, later ones only its ID.
// The receiver maps the memory for each frame and says "released" when that frame's last reference
// goes; until then the sender keeps its own reference, so its pool does not lend the buffer again.
// When the connection closes, the sender lets go of what the peer still held; if the peer's process
// died (it gets about two seconds to finish dying), the sender also gives back the use counts of the
// mappings it held, which nobody else can lower any more.
class CMIOSocketPeer : public std::enable_shared_from_this<CMIOSocketPeer> {
public:
    struct Handlers {
        std::function<void(const nlohmann::json&)> message;
        std::function<void(const std::string& streamID, CMSampleBufferRef, std::uint32_t discontinuity,
                           std::uint64_t hostTimeInNanoseconds)>
            frame;
        std::function<void()> closed;  // once, on the reading thread; then every handler is let go
    };

    // Takes the socket. The handlers run on the reading thread.
    static std::shared_ptr<CMIOSocketPeer> make(int socket, Handlers handlers);
    ~CMIOSocketPeer();

    void start();
    bool sendJSON(const nlohmann::json& message);
    // Dropped (false) when the socket's buffer is full.
    bool sendFrame(const std::string& streamID, const CMSampleBufferRef& sampleBuffer, std::uint32_t discontinuity,
                   std::uint64_t hostTimeInNanoseconds);
    // Shuts the socket; the reading thread then ends and reports the closure.
    void close();
    bool isClosed() const { return closed_.load(); }
    pid_t peerPID() const { return peerPID_; }

    // Frames sent and not released yet.
    std::size_t outstandingFrames() const;

private:
    struct Sent {
        std::shared_ptr<CVPixelBuffer> buffer;
        std::uint32_t outstanding = 0;
    };
    struct Mapping {
        int fd;
        CVPixelBufferLayout layout;
    };

    CMIOSocketPeer(int socket, Handlers handlers);
    void readLoop();
    // Nothing, or what is wrong with the message.
    const char* handle(WireMessage& message);
    const char* receiveFrame(WireMessage& message);
    const char* receiveRelease(const WireMessage& message);
    void sendRelease(std::uint64_t bufferID);
    void finish();

    const int socket_;
    Handlers handlers_;  // the reading thread's; cleared when it ends
    pid_t peerPID_ = 0;
    std::atomic<bool> closed_{false};

    mutable std::mutex sendMutex_;
    std::set<std::uint64_t> fdSent_;
    std::map<std::uint64_t, Sent> sent_;

    std::map<std::uint64_t, Mapping> mappings_;  // reading thread only
};

}  // namespace velunto
