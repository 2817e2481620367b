#include "platform/dispatch/VirtualScheduler.h"

#include <algorithm>

#include "platform/dispatch/HostClock.h"
#include "platform/dispatch/QueueCore.h"

namespace velunto::detail {

namespace {

class VirtualQueueCore final : public QueueCore, public std::enable_shared_from_this<VirtualQueueCore> {
public:
    VirtualQueueCore(std::shared_ptr<VirtualScheduler> scheduler, std::string label, bool serial)
        : scheduler_(std::move(scheduler)), label_(std::move(label)), serial_(serial) {}

    const std::string& label() const override { return label_; }
    bool isSerial() const override { return serial_; }
    bool syncRunsInline() const override { return true; }
    DispatchTime clockNow() const override { return scheduler_->now(); }
    bool runsInVirtualTime() const override { return true; }

    void submit(DispatchTime deadline, std::function<void()> block) override {
        scheduler_->enqueue(deadline, [self = shared_from_this(), block = std::move(block)] {
            QueueContext context(self.get(), nullptr);
            block();
        });
    }

private:
    const std::shared_ptr<VirtualScheduler> scheduler_;
    const std::string label_;
    const bool serial_;
};

}  // namespace

VirtualScheduler::VirtualScheduler(std::uint64_t startNanoseconds) : now_(startNanoseconds) {}

std::shared_ptr<QueueCore> VirtualScheduler::makeSerialQueue(std::string label) {
    return std::make_shared<VirtualQueueCore>(shared_from_this(), std::move(label), true);
}

std::shared_ptr<QueueCore> VirtualScheduler::mainQueue() {
    std::lock_guard lock(mutex_);
    if (!main_)
        main_ = std::make_shared<VirtualQueueCore>(shared_from_this(), "com.apple.main-thread", true);
    return main_;
}

std::shared_ptr<QueueCore> VirtualScheduler::globalQueue(DispatchQoS qos) {
    std::lock_guard lock(mutex_);
    auto& core = globals_[static_cast<std::size_t>(qos)];
    if (!core)
        core = std::make_shared<VirtualQueueCore>(shared_from_this(), globalQueueLabel(qos), false);
    return core;
}

bool VirtualScheduler::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable&, DispatchTime deadline,
                                 const std::function<bool()>& ready) {
    while (!ready()) {
        lock.unlock();
        const bool ran = runNext(deadline);
        lock.lock();
        if (!ran) {
            if (ready())
                return true;
            if (deadline != DispatchTime::distantFuture()) {
                std::lock_guard clockLock(mutex_);
                moveClockLocked(deadline.uptimeNanoseconds);
            }
            return false;
        }
    }
    return true;
}

void VirtualScheduler::enqueue(DispatchTime deadline, std::function<void()> block) {
    std::function<void()> dropped;  // destroyed after the lock is released
    std::lock_guard lock(mutex_);
    if (ended_) {
        dropped = std::move(block);
        return;
    }
    items_.push(deadline, std::move(block));
}

bool VirtualScheduler::runNext(DispatchTime limit) {
    std::function<void()> block;
    {
        std::lock_guard lock(mutex_);
        if (items_.empty() || items_.earliestDeadline() > limit)
            return false;
        moveClockLocked(items_.earliestDeadline().uptimeNanoseconds);
        block = items_.popEarliest();
    }
    block();
    return true;
}

void VirtualScheduler::advance(std::chrono::nanoseconds d) {
    const DispatchTime end = now() + std::max(d, std::chrono::nanoseconds::zero());
    while (runNext(end)) {
    }
    std::lock_guard lock(mutex_);
    moveClockLocked(end.uptimeNanoseconds);
}

DispatchTime VirtualScheduler::now() const {
    std::lock_guard lock(mutex_);
    return {now_};
}

std::size_t VirtualScheduler::pendingCount() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

void VirtualScheduler::shutdown() {
    TimedWorkList dropped;
    std::shared_ptr<QueueCore> main;
    std::array<std::shared_ptr<QueueCore>, 5> globals;
    std::lock_guard lock(mutex_);
    ended_ = true;
    std::swap(dropped, items_);
    main.swap(main_);
    globals.swap(globals_);
}

void VirtualScheduler::moveClockLocked(std::uint64_t to) {
    if (ended_ || to <= now_)
        return;
    now_ = to;
    HostClock::setVirtualNanoseconds(now_);
}

}  // namespace velunto::detail
