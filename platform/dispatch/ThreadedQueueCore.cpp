#include "platform/dispatch/ThreadedQueueCore.h"

#include <pthread.h>

#include "platform/dispatch/HostClock.h"

namespace velunto::detail {

ThreadedQueueCore::ThreadedQueueCore(std::string label, std::size_t threadCount)
    : label_(std::move(label)), threadCount_(threadCount == 0 ? 1 : threadCount) {}

DispatchTime ThreadedQueueCore::clockNow() const {
    return {HostClock::monotonicNanoseconds()};
}

void ThreadedQueueCore::submit(DispatchTime deadline, std::function<void()> block) {
    std::function<void()> dropped;  // destroyed after the lock is released
    std::lock_guard lock(mutex_);
    if (stopping_) {
        dropped = std::move(block);
        return;
    }
    items_.push(deadline, std::move(block));
    while (threads_.size() < threadCount_) {
        threads_.emplace_back([self = shared_from_this()] { self->workerLoop(); });
    }
    cv_.notify_all();
}

void ThreadedQueueCore::shutdown() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        threads.swap(threads_);
        cv_.notify_all();
    }
    for (auto& t : threads) {
        if (t.get_id() == std::this_thread::get_id()) {
            t.detach();
        } else {
            t.join();
        }
    }
}

void ThreadedQueueCore::workerLoop() {
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    std::unique_lock lock(mutex_);
    for (;;) {
        if (items_.empty()) {
            if (stopping_)
                return;
            cv_.wait(lock);
            continue;
        }
        const std::uint64_t now = HostClock::monotonicNanoseconds();
        const std::uint64_t due = items_.earliestDeadline().uptimeNanoseconds;
        if (due > now) {
            if (stopping_)
                return;
            cv_.wait_for(lock, boundedWait(due - now));
            continue;
        }
        auto block = items_.popEarliest();
        lock.unlock();
        {
            QueueContext context(this, nullptr);
            block();
            block = nullptr;
        }
        lock.lock();
    }
}

}  // namespace velunto::detail
