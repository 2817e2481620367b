#include "platform/pulse/PulseAudioHardware.h"

#include <array>
#include <thread>

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>

#include "platform/coreaudio/AudioHardwareServer.h"
#include "platform/oslog/Logger.h"
#include "platform/pulse/PulseMainLoop.h"

namespace velunto {

namespace {

const Logger& log() {
    static const Logger logger("app.velunto", "PulseAudio");
    return logger;
}

std::string property(const pa_proplist* properties, const char* key) {
    const char* value = properties != nullptr ? pa_proplist_gets(properties, key) : nullptr;
    return value != nullptr ? value : "";
}

template <class Info>
PulseDeviceInfo describe(const Info& info, PulseDeviceInfo::Kind kind) {
    PulseDeviceInfo d;
    d.kind = kind;
    d.index = info.index;
    d.name = info.name != nullptr ? info.name : "";
    d.description = info.description != nullptr && *info.description != '\0' ? info.description : d.name;
    d.vendor = property(info.proplist, "device.vendor.name");
    d.channels = info.sample_spec.channels;
    d.rate = info.sample_spec.rate;
    std::array<char, PA_CHANNEL_MAP_SNPRINT_MAX> map{};
    pa_channel_map_snprint(map.data(), map.size(), &info.channel_map);
    d.channelMap = map.data();
    d.hidden = property(info.proplist, "velunto.hidden") == "1";
    d.transportType = PulseDeviceInfo::transportTypeFor(
        property(info.proplist, "device.bus"), property(info.proplist, "device.form_factor"),
        property(info.proplist, "device.class"), info.driver != nullptr ? info.driver : "");
    return d;
}

}  // namespace

// The server's callbacks, on the loop's thread: each hands what it learnt to the queue, in the order the
// server sent it.
struct PulseAudioHardware::Callbacks {
    static void sink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto* self = static_cast<PulseAudioHardware*>(userdata);
        if (eol == 0 && info != nullptr)
            self->queue_.async([self, d = describe(*info, PulseDeviceInfo::Kind::sink)] { self->apply(d); });
        if (eol != 0)
            self->loop_->signal();
    }

    static void source(pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto* self = static_cast<PulseAudioHardware*>(userdata);
        if (eol == 0 && info != nullptr) {
            PulseDeviceInfo d = describe(*info, PulseDeviceInfo::Kind::source);
            d.hidden = d.hidden || info->monitor_of_sink != PA_INVALID_INDEX;  // a monitor
            self->queue_.async([self, d] { self->apply(d); });
        }
        if (eol != 0)
            self->loop_->signal();
    }

    static void server(pa_context*, const pa_server_info* info, void* userdata) {
        auto* self = static_cast<PulseAudioHardware*>(userdata);
        if (info != nullptr) {
            if (self->serverDescription_.empty()) {
                const std::string name = info->server_name != nullptr ? info->server_name : "";
                const std::string version = info->server_version != nullptr ? info->server_version : "";
                self->serverDescription_ = (name == "pulseaudio" ? "PulseAudio" : name) + " " + version;
            }
            self->queue_.async(
                [self, source = std::string(info->default_source_name != nullptr ? info->default_source_name : ""),
                 sink = std::string(info->default_sink_name != nullptr ? info->default_sink_name : "")] {
                    self->applyDefaults(source, sink);
                });
        }
        self->loop_->signal();
    }

    static void event(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* userdata) {
        auto* self = static_cast<PulseAudioHardware*>(userdata);
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto what = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
            pa_operation_unref(pa_context_get_server_info(context, &Callbacks::server, self));
            return;
        }
        if (facility != PA_SUBSCRIPTION_EVENT_SINK && facility != PA_SUBSCRIPTION_EVENT_SOURCE)
            return;
        const bool isSink = facility == PA_SUBSCRIPTION_EVENT_SINK;
        if (what == PA_SUBSCRIPTION_EVENT_REMOVE) {
            const auto kind = isSink ? PulseDeviceInfo::Kind::sink : PulseDeviceInfo::Kind::source;
            self->queue_.async([self, kind, index] { self->remove(kind, index); });
            return;
        }
        pa_operation* operation = isSink
                                      ? pa_context_get_sink_info_by_index(context, index, &Callbacks::sink, self)
                                      : pa_context_get_source_info_by_index(context, index, &Callbacks::source, self);
        if (operation != nullptr)
            pa_operation_unref(operation);
    }

    static void done(pa_context*, int, void* userdata) { static_cast<PulseAudioHardware*>(userdata)->loop_->signal(); }
};

PulseAudioHardware::PulseAudioHardware(std::unique_ptr<PulseMainLoop> loop) : loop_(std::move(loop)) {}

std::unique_ptr<PulseAudioHardware> PulseAudioHardware::connect(std::chrono::milliseconds timeout, std::string* error) {
    std::unique_ptr<PulseMainLoop> loop = PulseMainLoop::connect("Velunto", timeout, error);
    if (!loop)
        return nullptr;
    std::unique_ptr<PulseAudioHardware> hardware(new PulseAudioHardware(std::move(loop)));
    PulseAudioHardware* self = hardware.get();
    self->loop_->setDisconnectHandler([self] { self->queue_.async([self] { self->connectionLost(); }); });
    if (!self->subscribeAndList()) {
        if (error != nullptr)
            *error = "the server broke off while listing its devices";
        return nullptr;
    }
    self->synchronize();
    log().notice("Tonserver verbunden: %{public}s, %ld Geräte", self->serverDescription_,
                 static_cast<long>(self->deviceUIDs().size()));
    return hardware;
}

// Every device and change from here on reaches the queue, in the server's order.
bool PulseAudioHardware::subscribeAndList() {
    PulseMainLoop::Lock lock(*loop_);
    pa_context* context = loop_->context();
    pa_context_set_subscribe_callback(context, &Callbacks::event, this);
    const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                                          PA_SUBSCRIPTION_MASK_SERVER);
    return loop_->wait(pa_context_subscribe(context, mask, &Callbacks::done, this)) &&
           loop_->wait(pa_context_get_sink_info_list(context, &Callbacks::sink, this)) &&
           loop_->wait(pa_context_get_source_info_list(context, &Callbacks::source, this)) &&
           loop_->wait(pa_context_get_server_info(context, &Callbacks::server, this));
}

PulseAudioHardware::~PulseAudioHardware() {
    queue_.sync([this] { stopping_ = true; });
    {
        PulseMainLoop::Lock lock(*loop_);
        loop_->setDisconnectHandler(nullptr);
        pa_context_set_subscribe_callback(loop_->context(), nullptr, nullptr);
        // Operations still under way are cancelled: none of their callbacks reaches the queue any more.
        loop_->disconnectLocked();
    }
    queue_.sync([this] {
        for (auto& [key, device] : devices_) {
            device->markDead();
            AudioHardwareServer::shared().withdrawDevice(device->objectID());
        }
        devices_.clear();
    });
}

void PulseAudioHardware::setReconnectHandler(std::function<void()> handler) {
    queue_.sync([&] { reconnectHandler_ = std::move(handler); });
}

bool PulseAudioHardware::isConnected() const {
    PulseMainLoop::Lock lock(*loop_);
    return loop_->isReady();
}

void PulseAudioHardware::synchronize() const {
    // A round trip: every event sent before it has been handed to the queue when it returns.
    {
        PulseMainLoop::Lock lock(*loop_);
        if (loop_->isReady()) {
            loop_->wait(pa_context_get_server_info(loop_->context(), &Callbacks::server,
                                                   const_cast<PulseAudioHardware*>(this)));
        }
    }
    queue_.sync([] {});
}

std::optional<AudioObjectID> PulseAudioHardware::deviceID(const std::string& uid) const {
    return queue_.sync([&]() -> std::optional<AudioObjectID> {
        for (const auto& [key, device] : devices_)
            if (device->uid() == uid)
                return device->objectID();
        return std::nullopt;
    });
}

std::shared_ptr<PulseAudioDevice> PulseAudioHardware::device(const std::string& uid) const {
    return queue_.sync([&]() -> std::shared_ptr<PulseAudioDevice> {
        for (const auto& [key, device] : devices_)
            if (device->uid() == uid)
                return device;
        return nullptr;
    });
}

std::vector<std::string> PulseAudioHardware::deviceUIDs() const {
    return queue_.sync([&] {
        std::vector<std::string> uids;
        for (const auto& [key, device] : devices_)
            uids.push_back(device->uid());
        return uids;
    });
}

bool PulseAudioHardware::waitForDevice(const std::string& uid, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        synchronize();
        if (deviceID(uid))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void PulseAudioHardware::apply(const PulseDeviceInfo& info) {
    if (lost_ || stopping_ || info.name.empty())
        return;
    const Key key{info.kind, info.index};
    if (auto found = devices_.find(key); found != devices_.end()) {
        const std::vector<AudioObjectPropertySelector> changed = found->second->update(info);
        std::vector<AudioObjectPropertyAddress> addresses;
        for (AudioObjectPropertySelector selector : changed)
            addresses.push_back({selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain});
        if (!addresses.empty())
            AudioHardwareServer::shared().propertiesChanged(found->second->objectID(), addresses);
        return;
    }
    auto& server = AudioHardwareServer::shared();
    auto device = std::make_shared<PulseAudioDevice>(server.makeObjectID(), info, *loop_);
    devices_[key] = device;
    server.publishDevice(device);
    log().info("Gerät erschienen: %{public}s (%{public}s)", info.description, info.name);
    applyDefaults(defaultSource_, defaultSink_);
}

void PulseAudioHardware::remove(PulseDeviceInfo::Kind kind, std::uint32_t index) {
    if (stopping_)
        return;
    const auto found = devices_.find({kind, index});
    if (found == devices_.end())
        return;
    const std::shared_ptr<PulseAudioDevice> device = found->second;
    devices_.erase(found);
    device->markDead();
    AudioHardwareServer::shared().withdrawDevice(device->objectID());
    log().info("Gerät verschwunden: %{public}s", device->uid());
}

void PulseAudioHardware::applyDefaults(const std::string& source, const std::string& sink) {
    if (stopping_)
        return;
    defaultSource_ = source;
    defaultSink_ = sink;
    auto& server = AudioHardwareServer::shared();
    for (const auto& [key, device] : devices_) {
        const bool isSource = key.first == PulseDeviceInfo::Kind::source;
        const std::string& wanted = isSource ? source : sink;
        const AudioObjectPropertySelector which =
            isSource ? kAudioHardwarePropertyDefaultInputDevice : kAudioHardwarePropertyDefaultOutputDevice;
        if (device->uid() == wanted && server.defaultDevice(which) != device->objectID())
            server.setDefaultDevice(which, device->objectID());
    }
}

void PulseAudioHardware::connectionLost() {
    if (lost_ || stopping_)
        return;
    lost_ = true;
    log().error("Verbindung zum Tonserver verloren; seine Geräte sind fort.");
    for (auto& [key, device] : devices_) {
        device->markDead();
        AudioHardwareServer::shared().withdrawDevice(device->objectID());
    }
    devices_.clear();
    scheduleReconnect();
}

void PulseAudioHardware::scheduleReconnect() {
    queue_.asyncAfter(DispatchTime::now() + kReconnectInterval, [this] {
        if (stopping_ || !lost_)
            return;
        if (!loop_->reconnect(std::chrono::seconds(1))) {
            scheduleReconnect();
            return;
        }
        lost_ = false;
        if (reconnectHandler_)
            reconnectHandler_();
        if (!subscribeAndList()) {
            lost_ = true;
            scheduleReconnect();
            return;
        }
        // After the devices the listing handed to the queue.
        queue_.async(
            [this] { log().notice("Tonserver wieder verbunden, %ld Geräte", static_cast<long>(devices_.size())); });
    });
}

}  // namespace velunto
