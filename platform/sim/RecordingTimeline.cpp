#include "platform/sim/RecordingTimeline.h"

#include <algorithm>
#include <cmath>

namespace velunto {

RecordingTimeline::RecordingTimeline(double sampleRate) : sampleRate_(sampleRate) {
    anchors_.reserve(1024);
}

void RecordingTimeline::note(std::uint64_t frame, double sampleTime, std::uint64_t hostTime, std::uint32_t frames) {
    if (anchors_.empty()) {
        firstSampleTime_ = sampleTime;
        anchors_.push_back({frame, hostTime});
    } else if (sampleTime != nextSampleTime_) {
        anchors_.push_back({frame, hostTime});
    }
    nextSampleTime_ = sampleTime + frames;
}

std::uint64_t RecordingTimeline::hostTime(std::uint64_t frame) const {
    if (anchors_.empty())
        return 0;
    auto after = std::upper_bound(anchors_.begin(), anchors_.end(), frame,
                                  [](std::uint64_t f, const Anchor& anchor) { return f < anchor.frame; });
    const Anchor& anchor = after == anchors_.begin() ? anchors_.front() : *std::prev(after);
    const double frames = static_cast<double>(frame) - static_cast<double>(anchor.frame);
    const double ns = sampleRate_ > 0 ? frames * 1e9 / sampleRate_ : 0;
    return static_cast<std::uint64_t>(std::llround(static_cast<double>(anchor.hostTime) + ns));
}

std::uint64_t RecordingTimeline::firstHostTime() const {
    return anchors_.empty() ? 0 : anchors_.front().hostTime;
}

double RecordingTimeline::firstSampleTime() const {
    return firstSampleTime_;
}

std::size_t RecordingTimeline::resumptions() const {
    return anchors_.empty() ? 0 : anchors_.size() - 1;
}

}  // namespace velunto
