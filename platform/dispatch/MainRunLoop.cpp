#include "platform/dispatch/MainRunLoop.h"

#include "platform/dispatch/DispatchRuntime.h"
#include "platform/dispatch/HostClock.h"
#include "platform/dispatch/MainQueueCore.h"

namespace velunto {

namespace {
detail::MainQueueCore& mainQueue() {
    return detail::DispatchRuntime::realMainQueue();
}
}  // namespace

void MainRunLoop::run() {
    mainQueue().runUntil(DispatchTime::distantFuture());
}

void MainRunLoop::stop() {
    mainQueue().stop();
}

bool MainRunLoop::runFor(std::chrono::nanoseconds d) {
    return mainQueue().runUntil(DispatchTime{HostClock::monotonicNanoseconds()} + d);
}

void MainRunLoop::performDueItems() {
    mainQueue().performDueItems();
}

std::optional<DispatchTime> MainRunLoop::nextDeadline() {
    return mainQueue().nextDeadline();
}

void MainRunLoop::setWakeUpHandler(std::function<void()> handler) {
    mainQueue().setWakeUpHandler(std::move(handler));
}

void MainRunLoop::attachCurrentThread() {
    mainQueue().attachCurrentThread();
}

}  // namespace velunto
