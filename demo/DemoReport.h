#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velunto {

// A flash frame as the viewer saw it: when it arrived and when the camera captured it (host ns).
struct DemoFlash {
    std::uint64_t seen = 0;
    std::uint64_t captured = 0;
};

// A wake-up of a real-time thread that came late (see velunto-stall-probe): when it was due and how
// late it came (host ns).
struct DemoStall {
    std::uint64_t due = 0;
    std::uint64_t late = 0;
};

// What the demo measured, and how it turns into the report: clicks emitted at the microphone and
// heard by the call app give the audio path's latency; flash frames seen by the viewer, against the
// same clicks, give the offset between picture and sound.
class DemoReport {
public:
    // Positions of clicks in a mono recording: where the signal first exceeds the threshold after at
    // least minGapSeconds, refined to the loudest sample within the next millisecond.
    static std::vector<std::size_t> findClicks(const std::vector<float>& mono, double sampleRate,
                                               float threshold = 0.5f, double minGapSeconds = 1.0);
    // Stretches of digital silence (exact zeros) of at least minFrames inside a recording, between its
    // first and last sound: where the call app got nothing because the path fell behind.
    struct Dropout {
        std::size_t start = 0;
        std::size_t frames = 0;
    };
    static std::vector<Dropout> findDropouts(const std::vector<float>& mono, std::size_t minFrames);
    // Lines "seen captured" as the viewer writes them; unreadable lines are skipped.
    static std::vector<DemoFlash> readFlashes(const std::string& path);
    // Lines "due late" as the stall probe writes them; unreadable lines are skipped.
    static std::vector<DemoStall> readStalls(const std::string& path);
    // How many events (host ns) fall within a stall, widened by margin on either side.
    static std::size_t countDuringStalls(const std::vector<std::uint64_t>& events, const std::vector<DemoStall>& stalls,
                                         std::uint64_t margin);
    static std::optional<double> median(std::vector<double> values);

    struct Timing {
        std::vector<double> latenciesMs;    // heard - emitted, per click heard
        std::vector<double> avOffsetsMs;    // flash seen - click heard, per click with both
        std::vector<double> videoDelaysMs;  // seen - captured, per flash frame matched to a click
        std::vector<double> frameLagsMs;    // captured - emitted: the camera's wait for its next frame
    };
    // Pairs each emitted click with the first click heard within maxLatency after it, and with the
    // first flash frame captured within maxFrameLag after it. The picture's offset is taken as if the
    // camera had captured the flash at the click's instant: the wait for the next frame is a property of
    // the camera's frame rate, not of the path, and is reported on its own.
    static Timing pair(const std::vector<std::uint64_t>& emitted, const std::vector<std::uint64_t>& heard,
                       const std::vector<DemoFlash>& flashes, std::uint64_t maxLatency = 500'000'000,
                       std::uint64_t maxFrameLag = 100'000'000);

    // Writes the document as indented JSON; false if the file cannot be written.
    static bool write(const nlohmann::ordered_json& report, const std::string& path);
};

}  // namespace velunto
