#include "platform/dispatch/QueueCore.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace velunto::detail {

namespace {
thread_local const QueueContext* currentContext = nullptr;
constexpr std::uint64_t kMaxWaitNanoseconds = 3600ull * 1'000'000'000ull;
}  // namespace

void dispatchFatal(const std::string& message) {
    std::fprintf(stderr, "dispatch: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

std::chrono::nanoseconds boundedWait(std::uint64_t deltaNanoseconds) {
    return std::chrono::nanoseconds(static_cast<std::int64_t>(std::min(deltaNanoseconds, kMaxWaitNanoseconds)));
}

bool QueueCore::isCurrent() const {
    return QueueContext::contains(this);
}

QueueContext::QueueContext(const QueueCore* queue, const QueueContext* parent)
    : queue_(queue), parent_(parent), previous_(currentContext) {
    currentContext = this;
}

QueueContext::~QueueContext() {
    currentContext = previous_;
}

const QueueContext* QueueContext::top() {
    return currentContext;
}

bool QueueContext::contains(const QueueCore* queue) {
    for (const QueueContext* c = currentContext; c != nullptr; c = c->parent_) {
        if (c->queue_ == queue)
            return true;
    }
    return false;
}

}  // namespace velunto::detail
