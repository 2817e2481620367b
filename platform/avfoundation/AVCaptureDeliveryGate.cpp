#include "platform/avfoundation/AVCaptureDeliveryGate.h"

#include <algorithm>

namespace velunto {

bool AVCaptureDeliveryGate::enter() {
    std::lock_guard lock(mutex_);
    if (!open_)
        return false;
    delivering_.push_back(std::this_thread::get_id());
    return true;
}

void AVCaptureDeliveryGate::leave() {
    {
        std::lock_guard lock(mutex_);
        const auto it = std::find(delivering_.begin(), delivering_.end(), std::this_thread::get_id());
        if (it != delivering_.end())
            delivering_.erase(it);
    }
    idle_.notify_all();
}

void AVCaptureDeliveryGate::close() {
    std::unique_lock lock(mutex_);
    open_ = false;
    // A delegate that stops the session from its own callback is not waited for.
    const auto self = std::this_thread::get_id();
    idle_.wait(lock, [&] {
        return std::all_of(delivering_.begin(), delivering_.end(), [&](std::thread::id id) { return id == self; });
    });
}

bool AVCaptureDeliveryGate::isOpen() const {
    std::lock_guard lock(mutex_);
    return open_;
}

}  // namespace velunto
