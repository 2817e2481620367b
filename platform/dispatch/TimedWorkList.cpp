#include "platform/dispatch/TimedWorkList.h"

namespace velunto::detail {

bool TimedWorkList::push(DispatchTime deadline, std::function<void()> block) {
    const auto it = items_.emplace(std::make_pair(deadline.uptimeNanoseconds, nextSequence_++), std::move(block)).first;
    return it == items_.begin();
}

std::function<void()> TimedWorkList::popEarliest() {
    const auto first = items_.begin();
    auto block = std::move(first->second);
    items_.erase(first);
    return block;
}

}  // namespace velunto::detail
