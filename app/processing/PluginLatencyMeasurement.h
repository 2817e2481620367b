#pragma once

#include "app/settings/JSONCoding.h"
#include "platform/foundation/Date.h"

#include <cstdint>

namespace velunto {

// The measured delay of one effect plug-in, active and bypassed, with what it reported itself.
struct PluginLatencyMeasurement {
    double activeSeconds = 0;
    double bypassedSeconds = 0;
    double reportedSeconds = 0;
    std::int64_t blockFrames = 0;  // render block size when the measurement started
    double confidence = 0;         // normalised correlation of the active render, 0…1
    Date date;                     // when the measurement finished

    friend bool operator==(const PluginLatencyMeasurement&, const PluginLatencyMeasurement&) = default;

    // {"activeSeconds":n,…,"date":<seconds since 2001-01-01 UTC>}
    JSON toJSON() const;
    static PluginLatencyMeasurement fromJSON(const JSON& json);
};

}  // namespace velunto
