#include "platform/coreaudio/AudioHardwareDevice.h"

#include <cmath>

namespace velunto {

double AudioDeviceTimeline::sampleTimeAt(std::uint64_t hostTime) const {
    const double elapsed = static_cast<double>(static_cast<std::int64_t>(hostTime - anchorHostTime));
    return anchorSampleTime + elapsed * framesPerSecond / 1e9;
}

std::uint64_t AudioDeviceTimeline::hostTimeAt(double sampleTime) const {
    const double offset = std::ceil((sampleTime - anchorSampleTime) * 1e9 / framesPerSecond);
    return anchorHostTime + static_cast<std::uint64_t>(static_cast<std::int64_t>(offset));
}

}  // namespace velunto
