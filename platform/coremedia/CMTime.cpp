#include "platform/coremedia/CMTime.h"

#include <limits>

namespace velunto {

namespace {
__extension__ typedef __int128 Wide;
}  // namespace

CMTime CMTimeMake(std::int64_t value, std::int32_t timescale) {
    if (timescale <= 0) {
        return kCMTimeInvalid;
    }
    return CMTime{value, timescale, kCMTimeFlags_Valid, 0};
}

bool CMTIME_IS_VALID(CMTime time) {
    return (time.flags & kCMTimeFlags_Valid) != 0 && time.timescale > 0;
}

double CMTimeGetSeconds(CMTime time) {
    if (!CMTIME_IS_VALID(time)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return static_cast<double>(time.value) / static_cast<double>(time.timescale);
}

std::int32_t CMTimeCompare(CMTime a, CMTime b) {
    const bool aValid = CMTIME_IS_VALID(a);
    const bool bValid = CMTIME_IS_VALID(b);
    if (!aValid || !bValid) {
        return aValid == bValid ? 0 : (aValid ? 1 : -1);
    }
    if (a.epoch != b.epoch) {
        return a.epoch < b.epoch ? -1 : 1;
    }
    // a.value / a.timescale vs b.value / b.timescale, cross-multiplied without overflow.
    const Wide left = static_cast<Wide>(a.value) * b.timescale;
    const Wide right = static_cast<Wide>(b.value) * a.timescale;
    return left < right ? -1 : (left > right ? 1 : 0);
}

}  // namespace velunto
