#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/dispatch/DispatchTime.h"

namespace velunto {

namespace detail {
class VirtualScheduler;
}

// Installs virtual time for the whole process while it lives (one at a time). Queues, timers and
// semaphores made meanwhile never sleep and start no thread: advance() runs every block that
// becomes due, on the calling thread, in deadline order (FIFO among equal deadlines), including
// blocks submitted during the advance that are due by its end. Inside a block, DispatchTime::now()
// is that block's deadline (or later, if it was due while a semaphore wait moved the clock on).
//
//   VirtualTime time;
//   DispatchQueue queue("test");
//   queue.asyncAfter(DispatchTime::now() + 50ms, [] { ... });
//   time.advance(50ms);   // runs it
class VirtualTime {
public:
    VirtualTime();  // the clock starts at 1 s
    // Restores real time and discards pending blocks; queues kept beyond it ignore new work.
    ~VirtualTime();
    VirtualTime(const VirtualTime&) = delete;
    VirtualTime& operator=(const VirtualTime&) = delete;

    // Afterwards now() == start + d (unless a block waited past that).
    void advance(std::chrono::nanoseconds d);
    void runUntilIdle();  // advance(0)
    DispatchTime now() const;
    // Blocks not run yet, including cancelled work items and timer ticks not reached yet.
    std::size_t pendingCount() const;

    static constexpr std::uint64_t kStartNanoseconds = 1'000'000'000;

private:
    std::shared_ptr<detail::VirtualScheduler> scheduler_;
};

}  // namespace velunto
