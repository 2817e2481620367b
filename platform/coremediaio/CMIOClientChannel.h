#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/coremedia/CMSampleBuffer.h"

namespace velunto {

// How a provider-side connection reaches its client: in this process, or over a socket.
class CMIOClientChannel {
public:
    virtual ~CMIOClientChannel() = default;
    // Any thread; nothing happens once the channel is closed.
    virtual void sendEvent(const nlohmann::json& event) = 0;
    virtual void sendSourceFrame(const std::string& streamID, const CMSampleBufferRef& sampleBuffer,
                                 std::uint32_t discontinuity, std::uint64_t hostTimeInNanoseconds) = 0;
    // The provider ends the connection (its service stops, or the client broke the protocol).
    virtual void closeFromProvider() = 0;
    // The client's process as the transport knows it, or 0.
    virtual pid_t peerPID() const = 0;
};

}  // namespace velunto
