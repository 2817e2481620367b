#include "platform/dispatch/VirtualTime.h"

#include "platform/dispatch/HostClock.h"
#include "platform/dispatch/VirtualScheduler.h"

namespace velunto {

VirtualTime::VirtualTime() : scheduler_(std::make_shared<detail::VirtualScheduler>(kStartNanoseconds)) {
    detail::DispatchRuntime::installVirtual(scheduler_);
    HostClock::setVirtualNanoseconds(kStartNanoseconds);
}

VirtualTime::~VirtualTime() {
    detail::DispatchRuntime::installVirtual(nullptr);
    HostClock::clearVirtual();
    scheduler_->shutdown();
}

void VirtualTime::advance(std::chrono::nanoseconds d) {
    scheduler_->advance(d);
}

void VirtualTime::runUntilIdle() {
    scheduler_->advance(std::chrono::nanoseconds::zero());
}

DispatchTime VirtualTime::now() const {
    return scheduler_->now();
}

std::size_t VirtualTime::pendingCount() const {
    return scheduler_->pendingCount();
}

}  // namespace velunto
