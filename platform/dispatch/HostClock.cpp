#include "platform/dispatch/HostClock.h"

#include <atomic>
#include <ctime>

namespace velunto {

namespace {
std::atomic<bool> virtualActive{false};
std::atomic<std::uint64_t> virtualNow{0};
}  // namespace

std::uint64_t HostClock::nowNanoseconds() {
    if (virtualActive.load(std::memory_order_acquire))
        return virtualNow.load(std::memory_order_acquire);
    return monotonicNanoseconds();
}

std::uint64_t HostClock::monotonicNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

void HostClock::setVirtualNanoseconds(std::uint64_t nanoseconds) {
    virtualNow.store(nanoseconds, std::memory_order_release);
    virtualActive.store(true, std::memory_order_release);
}

void HostClock::clearVirtual() {
    virtualActive.store(false, std::memory_order_release);
}

}  // namespace velunto
