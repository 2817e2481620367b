#include "platform/dispatch/DispatchSourceTimer.h"

#include <algorithm>
#include <optional>

namespace velunto {

std::shared_ptr<DispatchSourceTimer> DispatchSourceTimer::make(DispatchQueue queue) {
    return std::shared_ptr<DispatchSourceTimer>(new DispatchSourceTimer(std::move(queue)));
}

DispatchSourceTimer::DispatchSourceTimer(DispatchQueue queue) : queue_(std::move(queue)) {}

void DispatchSourceTimer::schedule(DispatchTime deadline, std::chrono::nanoseconds repeating,
                                   std::chrono::nanoseconds /*leeway*/) {
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_)
            return;
        deadline_ = deadline;
        interval_ = std::max(repeating, std::chrono::nanoseconds::zero());
        scheduled_ = true;
        if (!resumed_)
            return;
        generation = armLocked();
    }
    post(generation, deadline);
}

void DispatchSourceTimer::setEventHandler(std::function<void()> handler) {
    auto shared = std::make_shared<const std::function<void()>>(std::move(handler));
    std::lock_guard lock(mutex_);
    if (!cancelled_)
        handler_.swap(shared);
}

void DispatchSourceTimer::resume() {
    std::uint64_t generation = 0;
    DispatchTime deadline;
    {
        std::lock_guard lock(mutex_);
        if (resumed_ || cancelled_)
            return;
        resumed_ = true;
        if (!scheduled_)
            return;
        generation = armLocked();
        deadline = deadline_;
    }
    post(generation, deadline);
}

void DispatchSourceTimer::cancel() {
    std::shared_ptr<const std::function<void()>> released;  // destroyed after the lock is released
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    released.swap(handler_);
}

bool DispatchSourceTimer::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

std::uint64_t DispatchSourceTimer::armLocked() {
    return ++generation_;
}

void DispatchSourceTimer::post(std::uint64_t generation, DispatchTime deadline) {
    queue_.asyncAfter(deadline, [weak = weak_from_this(), generation] {
        if (auto timer = weak.lock())
            timer->fire(generation);
    });
}

void DispatchSourceTimer::fire(std::uint64_t generation) {
    std::shared_ptr<const std::function<void()>> handler;
    std::optional<std::uint64_t> nextGeneration;
    DispatchTime next;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_ || generation != generation_)
            return;
        if (interval_ > std::chrono::nanoseconds::zero()) {
            next = deadline_ + interval_;
            const DispatchTime now = DispatchTime::now();
            if (next <= now) {
                // Fell behind: skip to the first tick after now.
                const auto interval = static_cast<std::uint64_t>(interval_.count());
                const std::uint64_t missed = (now.uptimeNanoseconds - next.uptimeNanoseconds) / interval + 1;
                next = next +
                       std::chrono::nanoseconds(static_cast<std::int64_t>(std::min<std::uint64_t>(
                           missed * interval, static_cast<std::uint64_t>(std::chrono::nanoseconds::max().count()))));
            }
            deadline_ = next;
            nextGeneration = armLocked();
        } else {
            scheduled_ = false;
        }
        handler = handler_;
    }
    if (nextGeneration)
        post(*nextGeneration, next);
    if (handler && *handler)
        (*handler)();
}

}  // namespace velunto
