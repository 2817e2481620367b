#pragma once

#include <atomic>
#include <cstdint>

#include "platform/coreaudio/AudioHardwareDevice.h"

namespace velunto {

// Follows a stream's sample clock from observations "at host time t the stream had passed n frames"
// that arrive in bursts and with jitter: a second-order delay-locked loop smooths position and rate.
// One thread observes; any thread reads the timeline without locking.
class AudioClockEstimator {
public:
    explicit AudioClockEstimator(double nominalRate, double bandwidthHz = 0.5);

    // real-time, observer thread. An error beyond the restart threshold (a restart, a long stall)
    // starts the loop again from the observation.
    void observe(std::uint64_t hostTime, double frames);
    // A quarter of a second's frames unless set. Only while nobody observes.
    void setRestartThreshold(double frames) { restartFrames_ = frames; }
    // Starts again: the next observation anchors the timeline. Only while nobody observes.
    void reset(std::uint64_t hostTime);

    AudioDeviceTimeline timeline() const;
    double nominalRate() const { return nominal_; }

private:
    void publish(double position, std::uint64_t hostTime, double rate);

    const double nominal_;
    const double omega_;
    double restartFrames_;
    bool started_ = false;
    double position_ = 0;
    std::uint64_t hostTime_ = 0;
    double rate_;

    std::atomic<std::uint64_t> sequence_{0};
    std::atomic<double> sharedPosition_{0};
    std::atomic<std::uint64_t> sharedHostTime_{0};
    std::atomic<double> sharedRate_;
};

}  // namespace velunto
