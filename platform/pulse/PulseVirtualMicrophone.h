#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velunto {

class PulseAudioHardware;

// Makes sure the sound server has the feed sink and the microphone that returns what the sink receives
// (a null sink and a remap source of its monitor), so that every program can record what we play into
// the feed. Devices already there are reused; at the end only the modules loaded here are unloaded.
class PulseVirtualMicrophone {
public:
    struct Names {
        std::string feedUID;
        std::string feedDescription;
        std::string microphoneUID;
        std::string microphoneDescription;
        std::uint32_t rate = 48000;
        std::uint32_t channels = 2;
    };

    // Waits (up to the timeout) until both devices are published by `hardware`. Null, with the reason
    // in `error`, if the server refused a module.
    static std::unique_ptr<PulseVirtualMicrophone> install(PulseAudioHardware& hardware, const Names& names,
                                                           std::chrono::milliseconds timeout,
                                                           std::string* error = nullptr);
    ~PulseVirtualMicrophone();
    PulseVirtualMicrophone(const PulseVirtualMicrophone&) = delete;
    PulseVirtualMicrophone& operator=(const PulseVirtualMicrophone&) = delete;

    // How many of the two devices were made here (0: both were there already).
    std::size_t modulesLoaded() const { return modules_.size(); }
    // The server came back without our devices (they went with the old one): makes them again, without
    // waiting for them to be published. With the loop's connection up, from any thread but the loop's.
    bool reinstall(std::string* error = nullptr);

    // A module argument value in double quotes, with the characters the server's parser treats
    // specially escaped.
    static std::string quoted(const std::string& value);

private:
    PulseVirtualMicrophone(PulseAudioHardware& hardware, Names names) : hardware_(hardware), names_(std::move(names)) {}
    // Loads what is missing.
    bool ensure(std::string* error);

    PulseAudioHardware& hardware_;
    const Names names_;
    std::vector<std::uint32_t> modules_;
};

}  // namespace velunto
