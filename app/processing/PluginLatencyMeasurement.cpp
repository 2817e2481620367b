#include "app/processing/PluginLatencyMeasurement.h"

namespace velunto {

JSON PluginLatencyMeasurement::toJSON() const {
    return JSON{{"activeSeconds", JSONCoding::number(activeSeconds)},
                {"bypassedSeconds", JSONCoding::number(bypassedSeconds)},
                {"reportedSeconds", JSONCoding::number(reportedSeconds)},
                {"blockFrames", blockFrames},
                {"confidence", JSONCoding::number(confidence)},
                {"date", JSONCoding::number(date.timeIntervalSinceReferenceDate)}};
}

PluginLatencyMeasurement PluginLatencyMeasurement::fromJSON(const JSON& json) {
    PluginLatencyMeasurement m;
    m.activeSeconds = JSONCoding::real(json, "activeSeconds");
    m.bypassedSeconds = JSONCoding::real(json, "bypassedSeconds");
    m.reportedSeconds = JSONCoding::real(json, "reportedSeconds");
    m.blockFrames = JSONCoding::integer(json, "blockFrames");
    m.confidence = JSONCoding::real(json, "confidence");
    m.date = Date{JSONCoding::real(json, "date")};
    return m;
}

}  // namespace velunto
