#pragma once

#include <cstdint>

namespace velunto {

enum : std::uint32_t { kCMTimeFlags_Valid = 1 };

// A rational time, value / timescale seconds.
struct CMTime {
    std::int64_t value = 0;
    std::int32_t timescale = 0;
    std::uint32_t flags = 0;
    std::int64_t epoch = 0;
};

inline constexpr CMTime kCMTimeInvalid{};

// Valid when timescale > 0; otherwise invalid, as the platform does.
CMTime CMTimeMake(std::int64_t value, std::int32_t timescale);
bool CMTIME_IS_VALID(CMTime time);
// NaN for an invalid time.
double CMTimeGetSeconds(CMTime time);
// Exact comparison of two valid times with different timescales; invalid times sort first and equal each other.
std::int32_t CMTimeCompare(CMTime a, CMTime b);

struct CMSampleTimingInfo {
    CMTime duration;
    CMTime presentationTimeStamp;
    CMTime decodeTimeStamp;
};

}  // namespace velunto
