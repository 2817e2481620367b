#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "app/processing/PreProcessingRecorder.h"

namespace velunto {

// A few seconds of the unprocessed input, collected by a tap for the latency meter.
class PreProcessingRecording {
public:
    using Completion = PreProcessingRecorder::Completion;

    PreProcessingRecording(std::int64_t frameCount, Completion completion);

    std::int64_t frameCount() const { return frameCount_; }
    // Appends up to what is still missing; true once the recording is full.
    bool append(const float* samples, std::int64_t count);
    // The samples if `deliver`, else nothing.
    std::optional<std::vector<float>> take(bool deliver);
    const Completion& completion() const { return completion_; }

private:
    const std::int64_t frameCount_;
    std::vector<float> samples_;
    std::mutex lock_;
    Completion completion_;
};

}  // namespace velunto
