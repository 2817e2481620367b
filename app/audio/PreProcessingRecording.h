#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velunto {

// A few seconds of the unprocessed input, collected by a tap for the latency meter.
class PreProcessingRecording {
public:
    using Completion = std::function<void(std::optional<std::vector<float>>)>;

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

// Whoever asked for a recording, told when the request is refused.
class PreProcessingRecordingRequester {
public:
    virtual ~PreProcessingRecordingRequester() = default;
    virtual void recordingRefused(const std::string& message) = 0;
};

}  // namespace velunto
