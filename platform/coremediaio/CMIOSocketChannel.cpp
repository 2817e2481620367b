#include "platform/coremediaio/CMIOSocketChannel.h"

#include "platform/coremediaio/CMIOExtensionProvider.h"
#include "platform/coremediaio/CMIOProviderConnection.h"

namespace velunto {

std::shared_ptr<CMIOSocketChannel> CMIOSocketChannel::open(int socket,
                                                           const std::shared_ptr<CMIOExtensionProvider>& provider) {
    auto channel = std::shared_ptr<CMIOSocketChannel>(new CMIOSocketChannel());
    channel->provider_ = provider;
    channel->connection_ = std::make_shared<CMIOProviderConnection>(provider, channel);
    const std::weak_ptr<CMIOSocketChannel> weak = channel;
    const DispatchQueue queue = provider->clientQueue();
    CMIOSocketPeer::Handlers handlers;
    handlers.message = [weak](const nlohmann::json& message) {
        if (auto self = weak.lock())
            self->request(message);
    };
    handlers.frame = [weak, queue](const std::string& streamID, CMSampleBufferRef sampleBuffer, std::uint32_t,
                                   std::uint64_t) {
        if (auto self = weak.lock())
            queue.async([connection = self->connection_, streamID, sampleBuffer = std::move(sampleBuffer)]() mutable {
                connection->receiveSinkBuffer(streamID, std::move(sampleBuffer));
            });
    };
    // The connection ends on the provider's queue; that also lets go of this channel.
    auto connection = channel->connection_;
    handlers.closed = [connection, queue] { queue.async([connection] { connection->close(); }); };
    channel->peer_ = CMIOSocketPeer::make(socket, std::move(handlers));
    channel->peer_->start();
    return channel;
}

void CMIOSocketChannel::request(const nlohmann::json& message) {
    const auto id = message.find("id");
    if (id == message.end() || !id->is_number_unsigned()) {
        peer_->close();
        return;
    }
    const auto provider = provider_.lock();
    if (!provider) {
        peer_->close();
        return;
    }
    provider->clientQueue().async([self = shared_from_this(), message, requestID = id->get<std::uint64_t>()] {
        auto reply = self->connection_->handleRequest(message);
        if (!reply) {
            self->peer_->close();
            return;
        }
        (*reply)["id"] = requestID;
        self->peer_->sendJSON(*reply);
    });
}

void CMIOSocketChannel::sendEvent(const nlohmann::json& event) {
    peer_->sendJSON(event);
}

void CMIOSocketChannel::sendSourceFrame(const std::string& streamID, const CMSampleBufferRef& sampleBuffer,
                                        std::uint32_t discontinuity, std::uint64_t hostTimeInNanoseconds) {
    peer_->sendFrame(streamID, sampleBuffer, discontinuity, hostTimeInNanoseconds);
}

void CMIOSocketChannel::closeFromProvider() {
    peer_->close();
}

pid_t CMIOSocketChannel::peerPID() const {
    return peer_->peerPID();
}

std::size_t CMIOSocketChannel::outstandingFrames() const {
    return peer_->outstandingFrames();
}

bool CMIOSocketChannel::isClosed() const {
    return peer_->isClosed();
}

}  // namespace velunto
