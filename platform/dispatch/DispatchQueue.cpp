#include "platform/dispatch/DispatchQueue.h"

#include <condition_variable>
#include <mutex>

#include "platform/dispatch/DispatchRuntime.h"
#include "platform/dispatch/QueueCore.h"

namespace velunto {

DispatchQueue::DispatchQueue(std::string label)
    : core_(detail::DispatchRuntime::current()->makeSerialQueue(std::move(label))) {}

DispatchQueue::DispatchQueue(std::shared_ptr<detail::QueueCore> core) : core_(std::move(core)) {}

DispatchQueue DispatchQueue::main() {
    return DispatchQueue(detail::DispatchRuntime::current()->mainQueue());
}

DispatchQueue DispatchQueue::global(DispatchQoS qos) {
    return DispatchQueue(detail::DispatchRuntime::current()->globalQueue(qos));
}

const std::string& DispatchQueue::label() const {
    return core_->label();
}

void DispatchQueue::async(std::function<void()> block) const {
    core_->submit(core_->clockNow(), std::move(block));
}

void DispatchQueue::async(std::shared_ptr<DispatchWorkItem> item) const {
    asyncAfter(core_->clockNow(), std::move(item));
}

void DispatchQueue::asyncAfter(DispatchTime deadline, std::function<void()> block) const {
    core_->submit(deadline, std::move(block));
}

void DispatchQueue::asyncAfter(DispatchTime deadline, std::shared_ptr<DispatchWorkItem> item) const {
    if (!item)
        return;
    core_->submit(deadline, [item = std::move(item)] { item->perform(); });
}

void DispatchQueue::sync(std::function<void()> block) const {
    if (core_->isSerial() && core_->isCurrent()) {
        detail::dispatchFatal("deadlock: sync() onto serial queue '" + core_->label() + "' from a block already on it");
    }
    if (core_->syncRunsInline()) {
        detail::QueueContext context(core_.get());
        block();
        return;
    }
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    const detail::QueueContext* caller = detail::QueueContext::top();
    core_->submit(core_->clockNow(), [&, caller] {
        {
            detail::QueueContext context(core_.get(), caller);
            block();
        }
        std::lock_guard lock(mutex);
        finished = true;
        done.notify_one();
    });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
}

bool DispatchQueue::isCurrent() const {
    return core_->isCurrent();
}

bool DispatchQueue::runsInVirtualTime() const {
    return core_->runsInVirtualTime();
}

void dispatchPreconditionOnQueue(const DispatchQueue& queue) {
    if (!queue.isCurrent())
        detail::dispatchFatal("precondition failed: not on queue '" + queue.label() + "'");
}

}  // namespace velunto
