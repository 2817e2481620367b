#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>

#include "platform/dispatch/DispatchTime.h"

namespace velunto::detail {

// Blocks ordered by (deadline, submission order). Not synchronised: the owner holds its lock.
class TimedWorkList {
public:
    // Returns true when the new block is now the earliest.
    bool push(DispatchTime deadline, std::function<void()> block);
    bool empty() const { return items_.empty(); }
    std::size_t size() const { return items_.size(); }
    // The following require !empty().
    DispatchTime earliestDeadline() const { return DispatchTime{items_.begin()->first.first}; }
    std::uint64_t earliestSequence() const { return items_.begin()->first.second; }
    std::function<void()> popEarliest();
    // The sequence number the next push will get.
    std::uint64_t nextSequence() const { return nextSequence_; }

private:
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::function<void()>> items_;
    std::uint64_t nextSequence_ = 0;
};

}  // namespace velunto::detail
