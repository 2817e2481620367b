#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchTime.h"

namespace velunto {

// A one-shot or repeating timer whose handler runs on a queue. Created suspended: nothing fires
// before resume(). Repeating deadlines are first, first + interval, first + 2 * interval, ...; a real
// timer that fell behind fires once and skips the ticks it missed. Leeway is accepted and ignored.
// Dropping the last shared_ptr cancels the timer; cancel() also releases the handler.
class DispatchSourceTimer : public std::enable_shared_from_this<DispatchSourceTimer> {
public:
    static std::shared_ptr<DispatchSourceTimer> make(DispatchQueue queue);

    // Replaces any earlier schedule. A zero (or negative) interval makes a one-shot timer.
    void schedule(DispatchTime deadline, std::chrono::nanoseconds repeating = std::chrono::nanoseconds::zero(),
                  std::chrono::nanoseconds leeway = std::chrono::nanoseconds::zero());
    void setEventHandler(std::function<void()> handler);
    void resume();
    // No event starts after cancel() returns; a running handler is not interrupted.
    void cancel();
    bool isCancelled() const;

private:
    explicit DispatchSourceTimer(DispatchQueue queue);
    // Takes a new generation for deadline_; the caller posts it after unlocking.
    std::uint64_t armLocked();
    void post(std::uint64_t generation, DispatchTime deadline);
    void fire(std::uint64_t generation);

    const DispatchQueue queue_;
    mutable std::mutex mutex_;
    std::shared_ptr<const std::function<void()>> handler_;
    DispatchTime deadline_;
    std::chrono::nanoseconds interval_{0};
    std::uint64_t generation_ = 0;
    bool scheduled_ = false;
    bool resumed_ = false;
    bool cancelled_ = false;
};

}  // namespace velunto
