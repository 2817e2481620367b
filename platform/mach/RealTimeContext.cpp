#include "platform/mach/RealTimeContext.h"

namespace velunto {

namespace {

thread_local int depth = 0;
thread_local std::uint64_t scopes = 0;  // per thread: no shared line between I/O threads

}  // namespace

RealTimeContext::Scope::Scope() noexcept {
    ++depth;
    ++scopes;
}

RealTimeContext::Scope::~Scope() {
    --depth;
}

bool RealTimeContext::isActive() noexcept {
    return depth > 0;
}

std::uint64_t RealTimeContext::entered() noexcept {
    return scopes;
}

}  // namespace velunto
