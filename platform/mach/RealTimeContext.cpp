#include "platform/mach/RealTimeContext.h"

#include <atomic>

namespace velunto {

namespace {

thread_local int depth = 0;
std::atomic<std::uint64_t> scopes{0};

}  // namespace

RealTimeContext::Scope::Scope() noexcept {
    ++depth;
    scopes.fetch_add(1, std::memory_order_relaxed);
}

RealTimeContext::Scope::~Scope() {
    --depth;
}

bool RealTimeContext::isActive() noexcept {
    return depth > 0;
}

std::uint64_t RealTimeContext::entered() noexcept {
    return scopes.load(std::memory_order_relaxed);
}

}  // namespace velunto
