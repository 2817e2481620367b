#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/coreaudio/AudioHardwareBase.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/pulse/PulseAudioDevice.h"

namespace velunto {

class PulseMainLoop;

// The sound server's sources and sinks as devices of the in-process audio server, for as long as this
// object lives: published at connection, kept up to date (new, changed and removed devices, the default
// input and output) from the server's change events, and withdrawn at the end or when the connection
// breaks. Monitor sources, and devices marked "velunto.hidden", are hidden.
class PulseAudioHardware {
public:
    // Null (with the reason in `error`) if no sound server answers in time.
    static std::unique_ptr<PulseAudioHardware> connect(std::chrono::milliseconds timeout, std::string* error = nullptr);
    ~PulseAudioHardware();
    PulseAudioHardware(const PulseAudioHardware&) = delete;
    PulseAudioHardware& operator=(const PulseAudioHardware&) = delete;

    // "PulseAudio 16.1", or what a compatible server calls itself.
    const std::string& serverDescription() const { return serverDescription_; }
    bool isConnected() const;

    std::optional<AudioObjectID> deviceID(const std::string& uid) const;
    std::shared_ptr<PulseAudioDevice> device(const std::string& uid) const;
    std::vector<std::string> deviceUIDs() const;
    // Waits (up to the timeout) until a device with this UID is published.
    bool waitForDevice(const std::string& uid, std::chrono::milliseconds timeout) const;
    // Waits until every change the server has announced so far is applied.
    void synchronize() const;

    PulseMainLoop& loop() { return *loop_; }

    // A lost server is asked again every two seconds. Once it answers, the handler runs (on our queue, with
    // the new connection, e.g. to make our own devices there again) before its devices come back, so
    // that they all arrive together. Null: none.
    void setReconnectHandler(std::function<void()> handler);
    static constexpr std::chrono::seconds kReconnectInterval{2};

private:
    using Key = std::pair<PulseDeviceInfo::Kind, std::uint32_t>;
    struct Callbacks;

    explicit PulseAudioHardware(std::unique_ptr<PulseMainLoop> loop);

    void apply(const PulseDeviceInfo& info);
    void remove(PulseDeviceInfo::Kind kind, std::uint32_t index);
    void applyDefaults(const std::string& source, const std::string& sink);
    void connectionLost();
    void scheduleReconnect();
    bool subscribeAndList();

    std::unique_ptr<PulseMainLoop> loop_;
    DispatchQueue queue_{"velunto.pulse"};
    std::string serverDescription_;
    // Touched on queue_ only.
    std::map<Key, std::shared_ptr<PulseAudioDevice>> devices_;
    std::string defaultSource_;
    std::string defaultSink_;
    bool lost_ = false;
    bool stopping_ = false;
    std::function<void()> reconnectHandler_;
};

}  // namespace velunto
