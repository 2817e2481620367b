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
    // Until the socket closes the channel and its connection keep each other (a client that has not
    // said hello is held by nobody else). The connection ends on the provider's queue, after every
    // request queued before; then the channel lets go of it, and the two, the peer and its socket go.
    // That is after the reading thread's last handler, the only other reader of connection_.
    auto connection = channel->connection_;
    handlers.closed = [weak, connection, queue] {
        queue.async([weak, connection] {
            connection->close();
            if (auto self = weak.lock())
                self->connection_.reset();
        });
    };
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
    // connection_ is read on the reading thread only; it is reset after that thread's last handler.
    provider->clientQueue().async(
        [self = shared_from_this(), connection = connection_, message, requestID = id->get<std::uint64_t>()] {
            auto reply = connection->handleRequest(message);
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
