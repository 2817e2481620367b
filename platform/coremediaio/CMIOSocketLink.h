#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/coremediaio/CMIOProviderLink.h"
#include "platform/coremediaio/CMIOSocketPeer.h"

namespace velunto {

class CMIOClientRuntime;

// The client's end of a provider process's socket: requests wait for their replies (by ID, with a
// timeout); events and source frames go to the client runtime on the reading thread.
class CMIOSocketLink : public CMIOProviderLink, public std::enable_shared_from_this<CMIOSocketLink> {
public:
    static constexpr std::chrono::seconds kRequestTimeout{5};

    // Connects to the socket at path; nothing if nobody listens there (errno tells why).
    static std::shared_ptr<CMIOSocketLink> connect(const std::string& path, CMIOClientRuntime& runtime);

    nlohmann::json request(const nlohmann::json& request) override;
    void sendSinkFrame(const std::string& streamID, const CMSampleBufferRef& sampleBuffer) override;
    void close() override;

    const std::string& path() const { return path_; }
    bool isClosed() const;

private:
    CMIOSocketLink(std::string path, CMIOClientRuntime& runtime);
    void received(const nlohmann::json& message);
    void closed();

    const std::string path_;
    CMIOClientRuntime& runtime_;
    std::shared_ptr<CMIOSocketPeer> peer_;

    std::mutex mutex_;
    std::condition_variable replied_;
    std::uint64_t nextRequestID_ = 1;
    std::map<std::uint64_t, std::optional<nlohmann::json>> pending_;
    bool closed_ = false;
};

}  // namespace velunto
