#include "platform/dispatch/MainQueueCore.h"

#include <algorithm>

#include "platform/dispatch/HostClock.h"

namespace velunto::detail {

DispatchTime MainQueueCore::clockNow() const {
    return {HostClock::monotonicNanoseconds()};
}

void MainQueueCore::submit(DispatchTime deadline, std::function<void()> block) {
    std::shared_ptr<const std::function<void()>> wakeUp;
    {
        std::lock_guard lock(mutex_);
        if (items_.push(deadline, std::move(block)))
            wakeUp = wakeUp_;
        cv_.notify_all();
    }
    if (wakeUp && *wakeUp)
        (*wakeUp)();
}

bool MainQueueCore::isCurrent() const {
    return QueueCore::isCurrent() || thread_.load(std::memory_order_acquire) == std::this_thread::get_id();
}

void MainQueueCore::attachCurrentThread() {
    thread_.store(std::this_thread::get_id(), std::memory_order_release);
}

bool MainQueueCore::performDueItems() {
    if (thread_.load(std::memory_order_acquire) == std::thread::id{})
        attachCurrentThread();
    const std::uint64_t now = HostClock::monotonicNanoseconds();
    std::uint64_t limit = 0;
    {
        std::lock_guard lock(mutex_);
        limit = items_.nextSequence();
    }
    bool ran = false;
    for (;;) {
        std::function<void()> block;
        {
            std::lock_guard lock(mutex_);
            if (items_.empty() || items_.earliestDeadline().uptimeNanoseconds > now ||
                items_.earliestSequence() >= limit) {
                return ran;
            }
            block = items_.popEarliest();
        }
        QueueContext context(this, nullptr);
        block();
        ran = true;
    }
}

std::optional<DispatchTime> MainQueueCore::nextDeadline() const {
    std::lock_guard lock(mutex_);
    if (items_.empty())
        return std::nullopt;
    return items_.earliestDeadline();
}

bool MainQueueCore::runUntil(DispatchTime until) {
    bool ran = false;
    for (;;) {
        ran = performDueItems() || ran;
        std::unique_lock lock(mutex_);
        if (stopRequested_) {
            stopRequested_ = false;
            return ran;
        }
        const std::uint64_t now = HostClock::monotonicNanoseconds();
        if (now >= until.uptimeNanoseconds)
            return ran;
        std::uint64_t wake = until.uptimeNanoseconds;
        if (!items_.empty())
            wake = std::min(wake, items_.earliestDeadline().uptimeNanoseconds);
        if (wake > now)
            cv_.wait_for(lock, boundedWait(wake - now));
    }
}

void MainQueueCore::stop() {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    cv_.notify_all();
}

void MainQueueCore::setWakeUpHandler(std::function<void()> handler) {
    auto shared = handler ? std::make_shared<const std::function<void()>>(std::move(handler)) : nullptr;
    std::lock_guard lock(mutex_);
    wakeUp_.swap(shared);
}

}  // namespace velunto::detail
