#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/processing/PreProcessingRecordingRequester.h"

namespace velunto {

// What the latency meter needs from the capture engine: the live block size and a recording of the
// input before the effect, at 48000 Hz mono.
class PreProcessingRecorder {
public:
    // The samples, or nothing when the recording was abandoned; on the main queue.
    using Completion = std::function<void(std::optional<std::vector<float>>)>;

    virtual ~PreProcessingRecorder() = default;
    // Frames of the most recent render cycle; 0 before the first.
    virtual std::uint32_t renderFrameCount() const = 0;
    // Records `seconds` of the input; refused (through the requester) unless running.
    virtual void recordPreProcessing(double seconds, std::weak_ptr<PreProcessingRecordingRequester> requester,
                                     Completion completion) = 0;
};

}  // namespace velunto
