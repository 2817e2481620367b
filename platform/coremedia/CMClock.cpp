#include "platform/coremedia/CMClock.h"

#include "platform/dispatch/HostClock.h"

namespace velunto {

namespace {
constexpr std::int32_t kNanosecondTimescale = 1'000'000'000;
__extension__ typedef __int128 Int128;  // value × timescale products overflow 64 bits
}  // namespace

std::shared_ptr<CMClock> CMClock::hostTimeClock() {
    static const std::shared_ptr<CMClock> clock(new CMClock(0));
    return clock;
}

std::shared_ptr<CMClock> CMClock::makeWithOffset(std::int64_t offsetNanoseconds) {
    return std::shared_ptr<CMClock>(new CMClock(offsetNanoseconds));
}

CMTime CMClock::time() const {
    const auto host = static_cast<std::int64_t>(HostClock::nowNanoseconds());
    return CMTimeMake(host + offsetNanoseconds_, kNanosecondTimescale);
}

CMTime CMSyncConvertTime(CMTime time, const CMClock& from, const CMClock& to) {
    if (!CMTIME_IS_VALID(time))
        return kCMTimeInvalid;
    const Int128 delta = static_cast<Int128>(to.offsetNanoseconds()) - from.offsetNanoseconds();
    const Int128 scaledDelta = delta * time.timescale;
    CMTime result;
    if (scaledDelta % kNanosecondTimescale == 0) {
        result = CMTimeMake(static_cast<std::int64_t>(time.value + scaledDelta / kNanosecondTimescale), time.timescale);
    } else {
        // value / timescale seconds in nanoseconds, rounded to nearest.
        const Int128 scaled = static_cast<Int128>(time.value) * kNanosecondTimescale;
        Int128 nanoseconds = scaled / time.timescale;
        const Int128 remainder = scaled % time.timescale;
        if (2 * (remainder < 0 ? -remainder : remainder) >= time.timescale)
            nanoseconds += remainder < 0 ? -1 : 1;
        result = CMTimeMake(static_cast<std::int64_t>(nanoseconds + delta), kNanosecondTimescale);
    }
    result.epoch = time.epoch;
    return result;
}

}  // namespace velunto
