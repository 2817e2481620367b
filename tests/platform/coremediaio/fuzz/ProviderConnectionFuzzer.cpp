// The provider's side of client connections, fed the requests a client process can send: each line of the input is
// one request (JSON text) on the current connection; "!" ends it as a vanished client would, "#<stream>" sends that
// stream a sink frame. A request the connection calls malformed ends it, as the socket channel does.
//
// Replies are objects with a 32-bit "status"; nothing but a hello is answered before a successful one, and nothing
// after a second; device lists are the provider's own with rising serials (events included); property values
// decode. Every call into the sources runs on the client queue; a refused request changes nothing (the active
// format stays one the stream offers); a stream runs exactly while some open connection started it; and once every
// connection has ended nothing runs and every connected client was disconnected once.
#include "platform/coremediaio/CMIOHardware.h"
#include "platform/coremediaio/CMIOPropertyCoding.h"
#include "platform/coremediaio/CMIOProviderConnection.h"
#include "platform/oslog/LogSinks.h"

#include "tests/platform/coremediaio/CMIOTestFrames.h"
#include "tests/platform/coremediaio/CMIOTestSources.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velunto {
namespace {

using nlohmann::json;

constexpr std::size_t kMaximumLines = 48;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "provider-connection fuzz check failed: %s\n", what);
        std::abort();
    }
}

class RecordingChannel : public CMIOClientChannel {
public:
    void sendEvent(const json& event) override { events.push_back(event); }
    void sendSourceFrame(const std::string&, const CMSampleBufferRef&, std::uint32_t, std::uint64_t) override {}
    void closeFromProvider() override { closedByProvider = true; }
    pid_t peerPID() const override { return 0; }

    std::vector<json> events;
    bool closedByProvider = false;
};

struct World {
    DispatchQueue queue{"app.velunto.fuzz.provider"};
    cmiotest::TestExtension extension{queue};
};

World& world() {
    static World* shared = [] {
        LogSinks::setStderrEnabled(false);
        return new World();
    }();
    return *shared;
}

class Client {
public:
    Client()
        : channel_(std::make_shared<RecordingChannel>()),
          connection_(std::make_shared<CMIOProviderConnection>(world().extension.provider, channel_)) {}

    // False when the connection ended because the request was malformed.
    bool request(const json& message) {
        auto& w = world();
        const std::optional<json> reply = w.queue.sync([&] { return connection_->handleRequest(message); });
        const bool isHello = message.is_object() && message.contains("op") && message["op"] == "hello";
        if (!reply)
            return false;
        require(reply->is_object(), "a reply is not an object");
        const auto status = reply->find("status");
        require(status != reply->end() && status->is_number_integer() && status->get<std::int64_t>() >= INT32_MIN &&
                    status->get<std::int64_t>() <= INT32_MAX,
                "a reply has no 32-bit status");
        require(isHello ? !greeted_ : greeted_, "a request was answered out of turn");
        if (*status != kCMIOHardwareNoError)
            return true;
        greeted_ = true;
        if (reply->contains("devices")) {
            require(reply->at("devices") ==
                        w.queue.sync([&] { return CMIOProviderConnection::describeDevices(*w.extension.provider); }),
                    "a reply's device list is not the provider's");
            checkSerial(reply->at("serial"));
        }
        if (reply->contains("values"))
            require(decodePropertyStates(reply->at("values")).has_value(), "a reply's values do not decode");
        return true;
    }

    void sinkFrame(const std::string& streamID) {
        CMSampleBufferRef frame = cmiotest::makeFrame(64, 48, 1);
        world().queue.sync([&] { connection_->receiveSinkBuffer(streamID, frame); });
    }

    void end() {
        world().queue.sync([&] { connection_->close(); });
        world().queue.sync([&] { connection_->close(); });  // idempotent
        for (const json& event : channel_->events) {
            require(event.is_object() && event.contains("event") && event["event"].is_string(),
                    "an event without a kind");
            if (event["event"] == "devices")
                checkSerial(event["serial"]);
        }
    }

    bool greeted() const { return greeted_; }

private:
    void checkSerial(const json& serial) {
        require(serial.is_number_unsigned() && serial.get<std::uint64_t>() > serial_,
                "device list serials do not rise");
        serial_ = serial.get<std::uint64_t>();
    }

    std::shared_ptr<RecordingChannel> channel_;
    std::shared_ptr<CMIOProviderConnection> connection_;
    bool greeted_ = false;
    std::uint64_t serial_ = 0;
};

void checkStreams(std::size_t openConnections) {
    auto& w = world();
    require(w.extension.check.offQueueCalls.load() == 0, "a source was called off the client queue");
    for (const auto& [stream, source] : {std::pair{w.extension.sourceStream, w.extension.sourceStreamSource},
                                         std::pair{w.extension.sinkStream, w.extension.sinkStreamSource}}) {
        std::int64_t index;
        {
            std::lock_guard lock(source->mutex);
            index = source->activeFormatIndex;
        }
        require(index >= 0 && index < 2, "a refused format index was applied");
        const int running = source->startCount.load() - source->stopCount.load();
        require(running == 0 || running == 1, "a stream was started or stopped twice");
        require((running == 1) == (stream->runningClientCount() > 0), "a stream runs without clients or the reverse");
        require(stream->runningClientCount() <= openConnections, "a stream runs for more clients than are connected");
    }
}

std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty() && out.size() < kMaximumLines) {
        const std::size_t end = text.find('\n');
        out.push_back(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return out;
}

}  // namespace
}  // namespace velunto

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velunto;
    auto& w = world();
    if (size == 0)
        return 0;
    {
        std::lock_guard lock(w.extension.providerSource->mutex);
        w.extension.providerSource->refuse = (data[0] & 1) != 0;
        w.extension.providerSource->connected.clear();
        w.extension.providerSource->disconnected.clear();
    }
    for (const auto& source : {w.extension.sourceStreamSource, w.extension.sinkStreamSource}) {
        std::lock_guard lock(source->mutex);
        source->authorizedClients.clear();
    }
    std::vector<std::unique_ptr<Client>> ended;
    auto client = std::make_unique<Client>();
    const auto finish = [&] {
        client->end();
        ended.push_back(std::move(client));
        client = std::make_unique<Client>();
    };
    for (const std::string_view line : lines(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1))) {
        if (line == "!") {
            finish();
        } else if (line.starts_with("#")) {
            client->sinkFrame(std::string(line.substr(1)));
        } else {
            const json message = json::parse(line, nullptr, false);
            if (message.is_discarded() || !message.is_object())
                continue;  // the socket layer drops the connection before it gets here
            if (!client->request(message))
                finish();
        }
        checkStreams(1);
    }
    finish();
    checkStreams(0);
    std::size_t greeted = 0;
    for (const auto& done : ended)
        greeted += done->greeted() ? 1 : 0;
    std::lock_guard lock(w.extension.providerSource->mutex);
    require(w.extension.providerSource->disconnected.size() == greeted,
            "connected clients were not disconnected exactly once");
    require(w.extension.provider->connections().empty(), "an ended connection is still the provider's");
    require(!w.extension.device->isRunningSomewhere(), "the device runs after every client left");
    return 0;
}
