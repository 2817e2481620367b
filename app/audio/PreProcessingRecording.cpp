#include "app/audio/PreProcessingRecording.h"

#include <algorithm>

namespace velunto {

PreProcessingRecording::PreProcessingRecording(std::int64_t frameCount, Completion completion)
    : frameCount_(frameCount), completion_(std::move(completion)) {
    samples_.reserve(static_cast<std::size_t>(std::max<std::int64_t>(frameCount, 0)));
}

bool PreProcessingRecording::append(const float* samples, std::int64_t count) {
    std::lock_guard lock(lock_);
    const std::int64_t missing = frameCount_ - static_cast<std::int64_t>(samples_.size());
    const std::int64_t taken = std::clamp<std::int64_t>(count, 0, std::max<std::int64_t>(missing, 0));
    samples_.insert(samples_.end(), samples, samples + taken);
    return static_cast<std::int64_t>(samples_.size()) >= frameCount_;
}

std::optional<std::vector<float>> PreProcessingRecording::take(bool deliver) {
    std::lock_guard lock(lock_);
    if (!deliver)
        return std::nullopt;
    return std::move(samples_);
}

}  // namespace velunto
