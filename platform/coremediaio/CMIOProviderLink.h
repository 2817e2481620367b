#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "platform/coremedia/CMSampleBuffer.h"

namespace velunto {

// How the client side reaches one provider: in this process, or over a socket.
class CMIOProviderLink {
public:
    virtual ~CMIOProviderLink() = default;
    // Sends a request and waits for the reply; {"status": 'what'} when the provider cannot answer.
    // Never called with the client runtime's lock held.
    virtual nlohmann::json request(const nlohmann::json& request) = 0;
    virtual void sendSinkFrame(const std::string& streamID, const CMSampleBufferRef& sampleBuffer) = 0;
    // The client side gives up the link.
    virtual void close() = 0;
};

}  // namespace velunto
