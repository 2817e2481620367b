#include "platform/pulse/AudioClockEstimator.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velunto {

namespace {

constexpr double kDamping = std::numbers::sqrt2 / 2;
constexpr double kMaxRateDeviation = 0.005;
constexpr double kRestartSeconds = 0.25;

}  // namespace

AudioClockEstimator::AudioClockEstimator(double nominalRate, double bandwidthHz)
    : nominal_(nominalRate),
      omega_(2 * std::numbers::pi * bandwidthHz),
      restartFrames_(kRestartSeconds * nominalRate),
      rate_(nominalRate),
      sharedRate_(nominalRate) {}

void AudioClockEstimator::reset(std::uint64_t hostTime) {
    started_ = false;
    rate_ = nominal_;
    publish(0, hostTime, nominal_);
}

// real-time
void AudioClockEstimator::observe(std::uint64_t hostTime, double frames) {
    if (!started_ || hostTime < hostTime_) {
        started_ = true;
        position_ = frames;
        hostTime_ = hostTime;
        rate_ = nominal_;
        publish(position_, hostTime_, rate_);
        return;
    }
    const double dt = static_cast<double>(hostTime - hostTime_) * 1e-9;
    const double predicted = position_ + rate_ * dt;
    const double error = frames - predicted;
    if (std::abs(error) > restartFrames_) {
        started_ = false;
        observe(hostTime, frames);
        return;
    }
    position_ = predicted + std::min(1.0, 2 * kDamping * omega_ * dt) * error;
    rate_ += omega_ * omega_ * dt * error;
    rate_ = std::clamp(rate_, nominal_ * (1 - kMaxRateDeviation), nominal_ * (1 + kMaxRateDeviation));
    hostTime_ = hostTime;
    publish(position_, hostTime_, rate_);
}

void AudioClockEstimator::publish(double position, std::uint64_t hostTime, double rate) {
    const std::uint64_t sequence = sequence_.load(std::memory_order_relaxed);
    // A sequence lock: odd while writing; each value's release store publishes the odd mark before it.
    sequence_.store(sequence + 1, std::memory_order_relaxed);
    sharedPosition_.store(position, std::memory_order_release);
    sharedHostTime_.store(hostTime, std::memory_order_release);
    sharedRate_.store(rate, std::memory_order_release);
    sequence_.store(sequence + 2, std::memory_order_release);
}

AudioDeviceTimeline AudioClockEstimator::timeline() const {
    AudioDeviceTimeline timeline;
    for (;;) {
        const std::uint64_t before = sequence_.load(std::memory_order_acquire);
        timeline.anchorSampleTime = sharedPosition_.load(std::memory_order_acquire);
        timeline.anchorHostTime = sharedHostTime_.load(std::memory_order_acquire);
        timeline.framesPerSecond = sharedRate_.load(std::memory_order_acquire);
        if ((before & 1) == 0 && sequence_.load(std::memory_order_relaxed) == before)
            return timeline;
    }
}

}  // namespace velunto
