#pragma once

// A private PulseAudio daemon for tests: its own runtime folder and socket, no sound card, a sine source
// (slow: it answers in pieces of a second), a quick microphone "mic" with a 1 kHz tone, and a null sink; PULSE_SERVER
// points this process (and the tools it starts) at it while it lives.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/ChildProcess.h"

namespace velunto {

class PulseServer {
public:
    static bool available() { return std::filesystem::exists("/usr/bin/pulseaudio"); }

    // `script` adds lines to the server's start-up script.
    explicit PulseServer(const std::string& script = "") {
        char pattern[] = "/tmp/velunto-pulse-XXXXXX";
        folder_ = mkdtemp(pattern);
        socket_ = folder_ + "/native";
        std::ofstream(folder_ + "/default.pa")
            << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socket_ << "\n"
            << "load-module module-null-sink sink_name=speakers rate=48000 channels=2 "
               "sink_properties=device.description=Lautsprecher\n"
            << "load-module module-sine-source source_name=sine rate=48000 frequency=440\n"
            // A microphone that answers quickly: a 1 kHz sine played into a bus, recorded from its monitor.
            << "load-module module-null-sink sink_name=mic-bus rate=48000 channels=1 "
               "sink_properties=device.description=Mikrofonbus\n"
            << "load-module module-sine sink=mic-bus frequency=1000\n"
            << "load-module module-remap-source master=mic-bus.monitor source_name=mic channels=1 "
               "source_properties=device.description=Mikrofon\n"
            << "set-default-sink speakers\n"
            << "set-default-source sine\n"
            << script;
        process_ = std::make_unique<ChildProcess>(
            "/usr/bin/env",
            std::vector<std::string>{"HOME=" + folder_, "XDG_RUNTIME_DIR=" + folder_, "XDG_CONFIG_HOME=" + folder_,
                                     "/usr/bin/pulseaudio", "-n", "-F", folder_ + "/default.pa", "--daemonize=no",
                                     "--exit-idle-time=-1", "--use-pid-file=no", "--log-target=stderr"},
            folder_ + "/log");
        setenv("PULSE_SERVER", ("unix:" + socket_).c_str(), 1);
        for (int i = 0; i < 1000 && !ready(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~PulseServer() {
        process_.reset();
        unsetenv("PULSE_SERVER");
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    bool ready() const { return std::filesystem::exists(socket_) && run("pactl info > /dev/null 2>&1") == 0; }
    const std::string& folder() const { return folder_; }
    std::string log() const { return process_->output(); }
    void kill() { process_->kill(); }

    // A shell command with PULSE_SERVER set; its exit status.
    static int run(const std::string& command) { return std::system(command.c_str()); }
    // A shell command's standard output.
    static std::string output(const std::string& command) {
        std::string text;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[4096];
            while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
                text += buffer;
            pclose(pipe);
        }
        return text;
    }

private:
    std::string folder_;
    std::string socket_;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace velunto
