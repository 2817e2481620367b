#include "platform/sim/SimulatedRecorder.h"

#include <sndfile.h>

#include <algorithm>
#include <chrono>

namespace velunto {

std::unique_ptr<SimulatedRecorder> SimulatedRecorder::memory(std::size_t maxFrames, std::uint32_t channels) {
    return std::unique_ptr<SimulatedRecorder>(new SimulatedRecorder(channels, maxFrames, nullptr));
}

std::unique_ptr<SimulatedRecorder> SimulatedRecorder::wav(const std::string& path, std::uint32_t channels,
                                                          double sampleRate) {
    SF_INFO info{};
    info.channels = static_cast<int>(channels);
    info.samplerate = static_cast<int>(sampleRate);
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file)
        return nullptr;
    return std::unique_ptr<SimulatedRecorder>(new SimulatedRecorder(channels, 0, file));
}

SimulatedRecorder::SimulatedRecorder(std::uint32_t channels, std::size_t maxFrames, SNDFILE* file)
    : channels_(std::max<std::uint32_t>(channels, 1)), maxFrames_(maxFrames), file_(file) {
    ring_.assign(maxFrames_ * channels_, 0.0f);
    if (file_) {
        pending_.reserve(std::size_t{96000} * channels_);  // a second or two between writes
        writer_ = std::thread([this] { writeFile(); });
    }
}

SimulatedRecorder::~SimulatedRecorder() {
    if (!file_)
        return;
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    wake_.notify_one();
    writer_.join();
    sf_close(file_);
}

void SimulatedRecorder::writeFile() {
    std::vector<float> batch;
    batch.reserve(pending_.capacity());
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait_for(lock, std::chrono::milliseconds(50), [this] { return closing_; });
        batch.swap(pending_);
        const bool last = closing_;
        lock.unlock();
        if (!batch.empty())
            sf_writef_float(file_, batch.data(), static_cast<sf_count_t>(batch.size() / channels_));
        batch.clear();
        if (last)
            return;
        lock.lock();
    }
}

void SimulatedRecorder::append(const float* interleaved, std::uint32_t frames) {
    if (file_) {
        std::lock_guard lock(mutex_);
        pending_.insert(pending_.end(), interleaved, interleaved + std::size_t{frames} * channels_);
        return;
    }
    if (maxFrames_ == 0)
        return;
    for (std::uint32_t i = 0; i < frames; ++i) {
        const std::size_t slot = (written_ + i) % maxFrames_;
        std::copy_n(interleaved + std::size_t{i} * channels_, channels_, ring_.begin() + slot * channels_);
    }
    written_ += frames;
}

std::vector<float> SimulatedRecorder::samples() const {
    if (file_ || maxFrames_ == 0)
        return {};
    const std::size_t kept = std::min(written_, maxFrames_);
    std::vector<float> out;
    out.reserve(kept * channels_);
    const std::size_t first = written_ - kept;
    for (std::size_t f = first; f < written_; ++f) {
        const std::size_t slot = f % maxFrames_;
        out.insert(out.end(), ring_.begin() + slot * channels_, ring_.begin() + (slot + 1) * channels_);
    }
    return out;
}

}  // namespace velunto
