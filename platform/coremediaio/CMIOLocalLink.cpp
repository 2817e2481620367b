#include "platform/coremediaio/CMIOLocalLink.h"

#include <unistd.h>

#include "platform/coremediaio/CMIOClientRuntime.h"
#include "platform/coremediaio/CMIOExtensionProvider.h"
#include "platform/coremediaio/CMIOProviderConnection.h"

namespace velunto {

std::shared_ptr<CMIOLocalLink> CMIOLocalLink::make(const std::shared_ptr<CMIOExtensionProvider>& provider,
                                                   CMIOClientRuntime& runtime) {
    auto link = std::shared_ptr<CMIOLocalLink>(new CMIOLocalLink(provider->clientQueue(), runtime));
    link->connection_ = std::make_shared<CMIOProviderConnection>(provider, link);
    return link;
}

CMIOLocalLink::CMIOLocalLink(DispatchQueue queue, CMIOClientRuntime& runtime)
    : queue_(std::move(queue)), runtime_(runtime) {}

std::shared_ptr<CMIOProviderConnection> CMIOLocalLink::connection() const {
    std::lock_guard lock(mutex_);
    return connection_;
}

nlohmann::json CMIOLocalLink::request(const nlohmann::json& request) {
    const auto target = connection();
    if (!target || closed_.load())
        return nlohmann::json{{"status", 'what'}};
    std::optional<nlohmann::json> reply;
    if (queue_.isCurrent())
        reply = target->handleRequest(request);
    else
        queue_.sync([&] { reply = target->handleRequest(request); });
    return reply ? *reply : nlohmann::json{{"status", 'what'}};
}

void CMIOLocalLink::sendSinkFrame(const std::string& streamID, const CMSampleBufferRef& sampleBuffer) {
    const auto target = connection();
    if (!target || closed_.load())
        return;
    queue_.async([target, streamID, sampleBuffer] { target->receiveSinkBuffer(streamID, sampleBuffer); });
}

void CMIOLocalLink::close() {
    if (closed_.exchange(true))
        return;
    closeConnection();
}

void CMIOLocalLink::closeConnection() {
    std::shared_ptr<CMIOProviderConnection> target;
    {
        std::lock_guard lock(mutex_);
        target = std::move(connection_);
    }
    if (target)
        queue_.async([target] { target->close(); });
}

void CMIOLocalLink::sendEvent(const nlohmann::json& event) {
    if (!closed_.load())
        runtime_.linkEvent(this, event);
}

void CMIOLocalLink::sendSourceFrame(const std::string& streamID, const CMSampleBufferRef& sampleBuffer, std::uint32_t,
                                    std::uint64_t) {
    if (!closed_.load())
        runtime_.linkSourceFrame(this, streamID, sampleBuffer);
}

void CMIOLocalLink::closeFromProvider() {
    if (closed_.exchange(true))
        return;
    runtime_.linkClosed(this);
    closeConnection();
}

pid_t CMIOLocalLink::peerPID() const {
    return ::getpid();
}

}  // namespace velunto
