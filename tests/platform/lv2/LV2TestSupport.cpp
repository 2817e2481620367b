#include "tests/platform/lv2/LV2TestSupport.h"

#include <algorithm>
#include <cmath>

namespace velunto::lv2test {

bool processAll(AudioUnitBase& unit, Signal& signal, UInt32 block) {
    const std::size_t length = signal.front().size();
    for (std::size_t offset = 0; offset < length; offset += block) {
        const auto frames = static_cast<UInt32>(std::min<std::size_t>(block, length - offset));
        if (processSpan(unit, signal, offset, frames) != noErr) {
            return false;
        }
    }
    return true;
}

std::size_t peakIndex(const std::vector<float>& samples) {
    return static_cast<std::size_t>(
        std::max_element(samples.begin(), samples.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); }) -
        samples.begin());
}

}  // namespace velunto::lv2test
