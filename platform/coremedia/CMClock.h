#pragma once

#include <cstdint>
#include <memory>

#include "platform/coremedia/CMTime.h"

namespace velunto {

// A clock that time stamps are given in. The host-time clock reads HostClock::nowNanoseconds();
// another clock runs at the same rate with a fixed offset (a camera's own clock).
class CMClock {
public:
    static std::shared_ptr<CMClock> hostTimeClock();                                 // one shared instance
    static std::shared_ptr<CMClock> makeWithOffset(std::int64_t offsetNanoseconds);  // time = host + offset

    CMTime time() const;  // now on this clock, timescale 1e9
    std::int64_t offsetNanoseconds() const { return offsetNanoseconds_; }

private:
    explicit CMClock(std::int64_t offsetNanoseconds) : offsetNanoseconds_(offsetNanoseconds) {}

    std::int64_t offsetNanoseconds_;
};

// The same instant on another clock; invalid in → invalid out. The result keeps the time's timescale
// when the offset between the clocks is a whole number of its units, otherwise it is in nanoseconds.
CMTime CMSyncConvertTime(CMTime time, const CMClock& from, const CMClock& to);

}  // namespace velunto
