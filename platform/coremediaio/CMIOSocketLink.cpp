#include "platform/coremediaio/CMIOSocketLink.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/coremediaio/CMIOClientRuntime.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& logger() {
    static const Logger instance("app.velunto.cmio", "Link");
    return instance;
}

nlohmann::json failure() {
    return nlohmann::json{{"status", 'what'}};
}

}  // namespace

std::shared_ptr<CMIOSocketLink> CMIOSocketLink::connect(const std::string& path, CMIOClientRuntime& runtime) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() + 1 > sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int socket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (socket < 0)
        return nullptr;
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(socket);
        errno = error;
        return nullptr;
    }
    auto link = std::shared_ptr<CMIOSocketLink>(new CMIOSocketLink(path, runtime));
    const std::weak_ptr<CMIOSocketLink> weak = link;
    CMIOSocketPeer::Handlers handlers;
    handlers.message = [weak](const nlohmann::json& message) {
        if (auto self = weak.lock())
            self->received(message);
    };
    handlers.frame = [weak, &runtime](const std::string& streamID, CMSampleBufferRef sampleBuffer, std::uint32_t,
                                      std::uint64_t) {
        if (auto self = weak.lock())
            runtime.linkSourceFrame(self.get(), streamID, std::move(sampleBuffer));
    };
    handlers.closed = [weak] {
        if (auto self = weak.lock())
            self->closed();
    };
    link->peer_ = CMIOSocketPeer::make(socket, std::move(handlers));
    link->peer_->start();
    return link;
}

CMIOSocketLink::CMIOSocketLink(std::string path, CMIOClientRuntime& runtime)
    : path_(std::move(path)), runtime_(runtime) {}

bool CMIOSocketLink::isClosed() const {
    return peer_->isClosed();
}

nlohmann::json CMIOSocketLink::request(const nlohmann::json& request) {
    std::uint64_t id;
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return failure();
        id = nextRequestID_++;
        pending_[id];
    }
    nlohmann::json message = request;
    message["id"] = id;
    if (!peer_->sendJSON(message)) {
        std::lock_guard lock(mutex_);
        pending_.erase(id);
        return failure();
    }
    std::unique_lock lock(mutex_);
    const bool answered =
        replied_.wait_for(lock, kRequestTimeout, [&] { return closed_ || pending_.at(id).has_value(); });
    auto reply = std::move(pending_.at(id));
    pending_.erase(id);
    if (!answered || !reply) {
        logger().error("no reply to %{public}s from %{public}s", request.value("op", std::string("?")), path_);
        return failure();
    }
    return std::move(*reply);
}

void CMIOSocketLink::received(const nlohmann::json& message) {
    if (message.contains("event")) {
        runtime_.linkEvent(this, message);
        return;
    }
    const auto id = message.find("id");
    if (id == message.end() || !id->is_number_unsigned() || !message.contains("status")) {
        peer_->close();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        auto it = pending_.find(id->get<std::uint64_t>());
        if (it == pending_.end())
            return;  // its requester gave up waiting
        it->second = message;
    }
    replied_.notify_all();
}

void CMIOSocketLink::sendSinkFrame(const std::string& streamID, const CMSampleBufferRef& sampleBuffer) {
    peer_->sendFrame(streamID, sampleBuffer, 0, 0);
}

void CMIOSocketLink::close() {
    peer_->close();
}

void CMIOSocketLink::closed() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    replied_.notify_all();
    runtime_.linkClosed(this);
}

}  // namespace velunto
