#include "platform/dispatch/DispatchSemaphore.h"

#include "platform/dispatch/DispatchRuntime.h"
#include "platform/dispatch/QueueCore.h"

namespace velunto {

DispatchSemaphore::DispatchSemaphore(long value) : value_(value) {}

void DispatchSemaphore::signal() {
    // Notified under the lock: a waiter may destroy the semaphore as soon as it returns.
    std::lock_guard lock(mutex_);
    ++value_;
    cv_.notify_one();
}

void DispatchSemaphore::wait() {
    if (wait(DispatchTime::distantFuture()) == DispatchTimeoutResult::timedOut) {
        detail::dispatchFatal("deadlock: DispatchSemaphore.wait() with nothing left to run that could signal it");
    }
}

DispatchTimeoutResult DispatchSemaphore::wait(DispatchTime timeout) {
    const auto runtime = detail::DispatchRuntime::current();
    std::unique_lock lock(mutex_);
    if (!runtime->waitUntil(lock, cv_, timeout, [this] { return value_ > 0; }))
        return DispatchTimeoutResult::timedOut;
    --value_;
    return DispatchTimeoutResult::success;
}

}  // namespace velunto
