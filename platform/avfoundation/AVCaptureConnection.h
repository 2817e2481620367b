#pragma once

#include <atomic>
#include <memory>

#include "platform/avfoundation/AVCaptureInput.h"
#include "platform/avfoundation/AVCaptureOutput.h"

namespace velunto {

// Joins a session's input to one of its outputs. A disabled connection carries no frames.
class AVCaptureConnection {
public:
    AVCaptureConnection(std::weak_ptr<AVCaptureInput> input, std::weak_ptr<AVCaptureOutput> output)
        : input_(std::move(input)), output_(std::move(output)) {}

    std::shared_ptr<AVCaptureInput> input() const { return input_.lock(); }
    std::shared_ptr<AVCaptureOutput> output() const { return output_.lock(); }
    bool isEnabled() const { return enabled_.load(std::memory_order_acquire); }
    void setEnabled(bool enabled) { enabled_.store(enabled, std::memory_order_release); }

private:
    std::weak_ptr<AVCaptureInput> input_;
    std::weak_ptr<AVCaptureOutput> output_;
    std::atomic<bool> enabled_{true};
};

}  // namespace velunto
