#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>

namespace velunto {

// Watches what a call app records from the virtual microphone for audio that is not new: sound while
// nothing feeds it, or a run of samples heard a whole number of laps before. The rings on the way
// (the driver's loop, the application's sample rings) hold powers of two of frames, so content read a
// lap too late comes back at a multiple of the smallest one. Every window of kWindow consecutive
// non-silent samples is remembered for kMemory samples; one that comes back at such a distance is
// stale. (Other repeats are allowed: a delay effect repeats its input by design.)
class StaleAudioDetector {
public:
    static constexpr std::size_t kWindow = 16;
    static constexpr std::size_t kMemory = 480000;  // 10 s at 48 kHz

    explicit StaleAudioDetector(std::uint64_t lapFrames) : lap_(lapFrames) {}

    // One mono sample stream, in order. `fed` false: nothing plays into the loop for these samples,
    // so they must be silent. Returns a description of the first stale sample, or none.
    std::optional<std::string> add(const float* samples, std::size_t count, bool fed);
    std::uint64_t samplesSeen() const { return position_; }
    void forget();  // a new recording: nothing before it counts

private:
    const std::uint64_t lap_;
    std::uint64_t position_ = 0;
    std::deque<float> recent_;                                    // the last kWindow samples
    std::deque<std::pair<std::uint64_t, std::uint64_t>> order_;   // (hash, position) oldest first
    std::unordered_multimap<std::uint64_t, std::uint64_t> seen_;  // hash -> positions
};

}  // namespace velunto
