#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/coremediaio/CMIOClientChannel.h"
#include "platform/coremediaio/CMIOProviderLink.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

class CMIOClientRuntime;
class CMIOExtensionProvider;
class CMIOProviderConnection;

// A client and a provider in the same process: both ends of one connection, without a socket.
// Requests run on the provider's client queue (inline when the caller is already on it); events and
// frames go straight to the client runtime on the provider's thread.
class CMIOLocalLink : public CMIOProviderLink,
                      public CMIOClientChannel,
                      public std::enable_shared_from_this<CMIOLocalLink> {
public:
    static std::shared_ptr<CMIOLocalLink> make(const std::shared_ptr<CMIOExtensionProvider>& provider,
                                               CMIOClientRuntime& runtime);

    nlohmann::json request(const nlohmann::json& request) override;
    void sendSinkFrame(const std::string& streamID, const CMSampleBufferRef& sampleBuffer) override;
    void close() override;

    void sendEvent(const nlohmann::json& event) override;
    void sendSourceFrame(const std::string& streamID, const CMSampleBufferRef& sampleBuffer,
                         std::uint32_t discontinuity, std::uint64_t hostTimeInNanoseconds) override;
    void closeFromProvider() override;
    pid_t peerPID() const override;

private:
    CMIOLocalLink(DispatchQueue queue, CMIOClientRuntime& runtime);
    std::shared_ptr<CMIOProviderConnection> connection() const;
    // Ends the provider's side on its queue and lets go of it.
    void closeConnection();

    const DispatchQueue queue_;
    CMIOClientRuntime& runtime_;
    mutable std::mutex mutex_;
    std::shared_ptr<CMIOProviderConnection> connection_;
    std::atomic<bool> closed_{false};
};

}  // namespace velunto
