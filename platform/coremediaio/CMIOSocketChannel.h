#pragma once

#include <memory>

#include "platform/coremediaio/CMIOClientChannel.h"
#include "platform/coremediaio/CMIOSocketPeer.h"

namespace velunto {

class CMIOExtensionProvider;
class CMIOProviderConnection;

// The provider's end of a client process's socket: requests go to the provider's client queue and
// their replies back; sink frames go to the streams; closing ends the client's connection.
class CMIOSocketChannel : public CMIOClientChannel, public std::enable_shared_from_this<CMIOSocketChannel> {
public:
    // Takes the socket and starts reading.
    static std::shared_ptr<CMIOSocketChannel> open(int socket, const std::shared_ptr<CMIOExtensionProvider>& provider);

    void sendEvent(const nlohmann::json& event) override;
    void sendSourceFrame(const std::string& streamID, const CMSampleBufferRef& sampleBuffer,
                         std::uint32_t discontinuity, std::uint64_t hostTimeInNanoseconds) override;
    void closeFromProvider() override;
    pid_t peerPID() const override;

    std::size_t outstandingFrames() const;
    bool isClosed() const;

private:
    CMIOSocketChannel() = default;
    void request(const nlohmann::json& message);

    std::shared_ptr<CMIOSocketPeer> peer_;
    std::shared_ptr<CMIOProviderConnection> connection_;  // reset on the provider's queue once closed
    std::weak_ptr<CMIOExtensionProvider> provider_;
};

}  // namespace velunto
