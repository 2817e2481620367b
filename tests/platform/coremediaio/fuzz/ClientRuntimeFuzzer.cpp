// The client side's handling of what a provider process sends, through a link the runtime treats like a socket
// link. Each line of the input is one step: "E<json>" an event, "R<json>" the reply to the next request the
// runtime makes, "G" a hello, "Q<selector>" a read of that property of every object, "!" the connection's end.
//
// After every step the devices and streams the runtime shows are those of the last device list it accepted (one
// that did not close the link and came with a higher serial), with names, UIDs, directions and formats as listed;
// object IDs are unique, stay with their device and are never reused; requests address listed objects; values
// read from replies are sane (a frame rate is positive and finite, a format is one the stream offers). A list or
// event that closes the link, and the link's end, leave no devices.
#include "platform/corefoundation/CFStringBridge.h"
#include "platform/coremediaio/CMIOClientRuntime.h"
#include "platform/coremediaio/CMIOHardware.h"
#include "platform/oslog/LogSinks.h"

#include "tests/platform/coremediaio/CMIOTestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace velunto {
namespace {

using nlohmann::json;

constexpr std::size_t kMaximumLines = 32;
constexpr std::size_t kMaximumSurveyedObjects = 64;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "client-runtime fuzz check failed: %s\n", what);
        std::abort();
    }
}

class FakeLink : public CMIOProviderLink {
public:
    json request(const json& message) override {
        requests.push_back(message);
        if (replies.empty())
            return json{{"status", kCMIOHardwareUnspecifiedError}};
        json reply = std::move(replies.front());
        replies.pop_front();
        return reply;
    }
    void sendSinkFrame(const std::string&, const CMSampleBufferRef&) override {}
    void close() override { closed = true; }

    std::deque<json> replies;
    std::vector<json> requests;
    bool closed = false;
};

// What one stream or device looks like through the client interface.
struct StreamView {
    UInt32 direction;
    std::vector<CMIOStreamFormat> formats;
    std::string name;
    auto key() const { return std::tie(direction, formats, name); }
    bool operator<(const StreamView& other) const {
        return std::tie(direction, name) < std::tie(other.direction, other.name) ||
               (std::tie(direction, name) == std::tie(other.direction, other.name) &&
                std::lexicographical_compare(formats.begin(), formats.end(), other.formats.begin(), other.formats.end(),
                                             [](const auto& a, const auto& b) {
                                                 return std::tie(a.codec, a.width, a.height) <
                                                        std::tie(b.codec, b.width, b.height);
                                             }));
    }
    bool operator==(const StreamView& other) const { return key() == other.key(); }
};

struct DeviceView {
    std::string name;
    std::string uid;
    std::vector<StreamView> streams;  // sorted
    bool operator<(const DeviceView& other) const {
        return std::tie(name, uid) < std::tie(other.name, other.uid) ||
               (std::tie(name, uid) == std::tie(other.name, other.uid) && streams < other.streams);
    }
    bool operator==(const DeviceView& other) const {
        return name == other.name && uid == other.uid && streams == other.streams;
    }
};

// Text as a C string carries it: up to the first NUL.
std::string visible(const json& text) {
    const std::string value = text.get<std::string>();
    return value.substr(0, value.find('\0'));
}

// The view an accepted list must give. Only called for lists the runtime accepted, so the fields are there.
std::vector<DeviceView> expectedView(const json& devices) {
    std::vector<DeviceView> view;
    for (const json& entry : devices) {
        DeviceView device{
            visible(entry["name"]), entry.contains("legacyID") ? visible(entry["legacyID"]) : visible(entry["id"]), {}};
        for (const json& streamEntry : entry["streams"]) {
            StreamView stream{
                streamEntry["direction"] == 0 ? UInt32{kCMIOStreamDirectionSource} : UInt32{kCMIOStreamDirectionSink},
                {},
                visible(streamEntry["name"])};
            for (const json& format : streamEntry["formats"])
                stream.formats.push_back(
                    {format["codec"].get<UInt32>(), format["width"].get<SInt32>(), format["height"].get<SInt32>()});
            device.streams.push_back(std::move(stream));
        }
        std::sort(device.streams.begin(), device.streams.end());
        view.push_back(std::move(device));
    }
    std::sort(view.begin(), view.end());
    return view;
}

std::string readText(CMIOObjectID object, CMIOObjectPropertySelector selector) {
    CFStringRef value = nullptr;
    UInt32 used = 0;
    const auto where = cmiotest::address(selector);
    require(
        CMIOObjectGetPropertyData(object, &where, 0, nullptr, sizeof value, &used, &value) == kCMIOHardwareNoError &&
            used == sizeof value && value != nullptr,
        "a name or UID cannot be read");
    const std::optional<std::string> text = stringFromCFString(value);
    CFRelease(value);
    require(text.has_value(), "a name or UID is not text");
    return *text;
}

struct Survey {
    std::vector<DeviceView> view;
    std::vector<CMIOObjectID> devices;
    std::vector<CMIOObjectID> streams;
};

Survey survey() {
    Survey result;
    result.devices = cmiotest::deviceList();
    require(std::set<CMIOObjectID>(result.devices.begin(), result.devices.end()).size() == result.devices.size(),
            "a device is listed twice");
    for (const CMIOObjectID device : result.devices) {
        require(device != kCMIOObjectUnknown && device != kCMIOObjectSystemObject, "a device has a reserved ID");
        require(cmiotest::readValue<UInt32>(device, kCMIODevicePropertyDeviceIsAlive) == 1, "a listed device is dead");
        DeviceView view{readText(device, kCMIOObjectPropertyName), readText(device, kCMIODevicePropertyDeviceUID), {}};
        for (const CMIOObjectID stream : cmiotest::readArray<CMIOObjectID>(device, kCMIODevicePropertyStreams)) {
            result.streams.push_back(stream);
            StreamView streamView{cmiotest::readValue<UInt32>(stream, kCMIOStreamPropertyDirection),
                                  cmiotest::readArray<CMIOStreamFormat>(stream, kCMIOStreamPropertyFormatDescriptions),
                                  readText(stream, kCMIOObjectPropertyName)};
            for (const CMIOStreamFormat& format : streamView.formats)
                require(format.width > 0 && format.height > 0, "a stream offers an empty format");
            view.streams.push_back(std::move(streamView));
        }
        std::sort(view.streams.begin(), view.streams.end());
        result.view.push_back(std::move(view));
    }
    std::set<CMIOObjectID> all(result.devices.begin(), result.devices.end());
    for (const CMIOObjectID stream : result.streams)
        require(all.insert(stream).second, "a stream ID is shared");
    std::sort(result.view.begin(), result.view.end());
    return result;
}

class Session {
public:
    Session() { attach(); }
    ~Session() { CMIOClientRuntime::shared().linkClosed(link_.get()); }

    void step(std::string_view line) {
        if (line.empty())
            return;
        const char kind = line.front();
        const json document = json::parse(line.substr(1), nullptr, false);
        std::optional<json> offered;  // a device list handed to the runtime, with its serial
        std::int64_t serial = -1;
        if (kind == 'E' && !document.is_discarded()) {
            if (document.is_object() && document.value("event", json()) == "devices" && document.contains("devices")) {
                offered = document["devices"];
                serial =
                    document.value("serial", json()).is_number_integer() ? document["serial"].get<std::int64_t>() : -1;
            }
            CMIOClientRuntime::shared().linkEvent(link_.get(), document);
        } else if (kind == 'R' && !document.is_discarded()) {
            link_->replies.push_back(document);
        } else if (kind == 'G') {
            if (!link_->replies.empty()) {
                const json& reply = link_->replies.front();
                if (reply.is_object() && reply.contains("devices") &&
                    reply.value("serial", json()).is_number_integer()) {
                    offered = reply["devices"];
                    serial = reply["serial"].get<std::int64_t>();
                }
            }
            CMIOClientRuntime::shared().greet(link_);
        } else if (kind == 'Q' && line.size() >= 5) {
            CMIOObjectPropertySelector selector = 0;
            for (std::size_t i = 1; i < 5; ++i)
                selector = (selector << 8) | static_cast<unsigned char>(line[i]);
            readEverywhere(selector);
        } else if (kind == '!') {
            CMIOClientRuntime::shared().linkClosed(link_.get());
            attach();
        }
        if (link_->closed) {
            attach();  // the runtime gave the link up: its devices must be gone
        } else if (offered && serial > accepted_) {
            accepted_ = serial;
            expected_ = expectedView(*offered);
            expectedIDs_.clear();
            for (const json& device : *offered) {
                expectedIDs_.insert(device["id"].get<std::string>());
                for (const json& stream : device["streams"])
                    expectedIDs_.insert(stream["id"].get<std::string>());
            }
        }
        check();
    }

private:
    void attach() {
        if (link_)
            CMIOClientRuntime::shared().linkClosed(link_.get());
        link_ = std::make_shared<FakeLink>();
        CMIOClientRuntime::shared().attachLink(link_);
        accepted_ = 0;  // the first list needs a serial above 0
        expected_.clear();
        expectedIDs_.clear();
    }

    void check() {
        const Survey now = survey();
        require(now.view == expected_, "the devices shown are not those of the last accepted list");
        for (const CMIOObjectID id : now.devices)
            require(!gone_.contains(id), "a device ID was reused");
        for (const CMIOObjectID id : now.streams)
            require(!gone_.contains(id), "a stream ID was reused");
        std::set<CMIOObjectID> present(now.devices.begin(), now.devices.end());
        present.insert(now.streams.begin(), now.streams.end());
        for (const CMIOObjectID id : previous_.devices)
            if (!present.contains(id))
                gone_.insert(id);
        for (const CMIOObjectID id : previous_.streams)
            if (!present.contains(id))
                gone_.insert(id);
        previous_ = now;
    }

    // Reads the property from every listed object (only its size where the value could be a string the caller
    // would have to release); values from the provider's replies must be sane, and every request must address a
    // listed object.
    void readEverywhere(CMIOObjectPropertySelector selector) {
        const Survey now = survey();
        std::vector<CMIOObjectID> objects = now.devices;
        objects.insert(objects.end(), now.streams.begin(), now.streams.end());
        objects.resize(std::min(objects.size(), kMaximumSurveyedObjects));
        const bool isString = selector == kCMIOObjectPropertyName || selector == kCMIODevicePropertyDeviceUID ||
                              selector == kCMIODevicePropertyModelUID;
        const bool isKnown =
            isString || selector == kCMIOStreamPropertyFrameRate || selector == kCMIOStreamPropertyFormatDescription ||
            selector == kCMIODevicePropertyTransportType || selector == kCMIODevicePropertyDeviceIsRunningSomewhere;
        const std::size_t requestsBefore = link_->requests.size();
        for (const CMIOObjectID object : objects) {
            const auto where = cmiotest::address(selector);
            if (!isKnown) {
                UInt32 size = 0;
                CMIOObjectGetPropertyDataSize(object, &where, 0, nullptr, &size);
                continue;
            }
            union {
                Float64 rate;
                CMIOStreamFormat format;
                UInt32 number;
                CFStringRef text;
            } value{};
            UInt32 used = 0;
            if (CMIOObjectGetPropertyData(object, &where, 0, nullptr, sizeof value, &used, &value) !=
                kCMIOHardwareNoError)
                continue;
            require(used <= sizeof value, "a read reports more bytes than it had room for");
            if (selector == kCMIOStreamPropertyFrameRate)
                require(used == sizeof(Float64) && std::isfinite(value.rate) && value.rate > 0,
                        "a frame rate is not a positive number");
            if (selector == kCMIOStreamPropertyFormatDescription) {
                const auto offered =
                    cmiotest::readArray<CMIOStreamFormat>(object, kCMIOStreamPropertyFormatDescriptions);
                require(std::find(offered.begin(), offered.end(), value.format) != offered.end(),
                        "the active format is not one the stream offers");
            }
            if (isString) {
                require(
                    used == sizeof(CFStringRef) && value.text != nullptr && stringFromCFString(value.text).has_value(),
                    "a string is not readable");
                CFRelease(value.text);
            }
        }
        for (std::size_t i = requestsBefore; i < link_->requests.size(); ++i) {
            const json& request = link_->requests[i];
            require(request.is_object() && request.contains("op") && request["op"].is_string(), "a request has no op");
            for (const char* key : {"device", "stream"})
                if (request.contains(key))
                    require(request[key].is_string() && expectedIDs_.contains(request[key].get<std::string>()),
                            "a request addresses an object that is not listed");
        }
    }

    std::shared_ptr<FakeLink> link_;
    std::int64_t accepted_ = 0;
    std::vector<DeviceView> expected_;
    std::set<std::string> expectedIDs_;  // of the devices and streams of the last accepted list
    Survey previous_;
    std::set<CMIOObjectID> gone_;
};

}  // namespace
}  // namespace velunto

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velunto;
    [[maybe_unused]] static const bool ready = [] {
        cmiotest::usePrivateSocketDirectory();
        LogSinks::setStderrEnabled(false);
        std::atexit([] {
            const std::string directory = std::getenv("XDG_RUNTIME_DIR");
            std::error_code ignored;
            if (directory.starts_with("/tmp/velunto-cmio-test-"))  // made for this process, not a fallback
                std::filesystem::remove_all(directory, ignored);
        });
        return true;
    }();
    std::string_view text(reinterpret_cast<const char*>(data), size);
    Session session;
    for (std::size_t count = 0; count < kMaximumLines && !text.empty(); ++count) {
        const std::size_t end = text.find('\n');
        session.step(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return 0;
}
