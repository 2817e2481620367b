#pragma once

#include <cstdint>
#include <vector>

namespace velunto {

// When each frame of a recording was captured. A device that falls behind by more than a few cycles
// skips the missed ones, so the recording then resumes later than its length says: the timeline keeps
// the first frame's time and one anchor at every such resumption, and counts on at the nominal rate
// in between.
class RecordingTimeline {
public:
    explicit RecordingTimeline(double sampleRate = 0);

    // One I/O cycle's worth appended at frame `frame` of the recording, captured at device sample time
    // `sampleTime` and host time `hostTime` (ns). Allocates only at a resumption beyond the reserve.
    void note(std::uint64_t frame, double sampleTime, std::uint64_t hostTime, std::uint32_t frames);

    // Host time (ns) of a recorded frame; 0 before anything was noted.
    std::uint64_t hostTime(std::uint64_t frame) const;
    std::uint64_t firstHostTime() const;
    double firstSampleTime() const;  // -1 before anything was noted
    // How often the recording resumed after skipped cycles.
    std::size_t resumptions() const;

private:
    struct Anchor {
        std::uint64_t frame = 0;
        std::uint64_t hostTime = 0;
    };
    double sampleRate_;
    std::vector<Anchor> anchors_;
    double firstSampleTime_ = -1;
    double nextSampleTime_ = 0;
};

}  // namespace velunto
