#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/dispatch/DispatchRuntime.h"
#include "platform/dispatch/TimedWorkList.h"

namespace velunto::detail {

// Virtual time: one list of blocks for all of its queues, run on the thread that advances the
// clock, in (deadline, submission) order. Nothing sleeps and no thread is started.
class VirtualScheduler final : public DispatchRuntime, public std::enable_shared_from_this<VirtualScheduler> {
public:
    explicit VirtualScheduler(std::uint64_t startNanoseconds);

    std::shared_ptr<QueueCore> makeSerialQueue(std::string label) override;
    std::shared_ptr<QueueCore> mainQueue() override;
    std::shared_ptr<QueueCore> globalQueue(DispatchQoS qos) override;
    bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, DispatchTime deadline,
                   const std::function<bool()>& ready) override;

    void enqueue(DispatchTime deadline, std::function<void()> block);
    // Runs the earliest block if it is due by `limit`, moving the clock to its deadline.
    bool runNext(DispatchTime limit);
    void advance(std::chrono::nanoseconds d);
    DispatchTime now() const;
    std::size_t pendingCount() const;
    // Drops pending blocks and ignores later ones; breaks the scheduler <-> queue cycles.
    void shutdown();

private:
    // The clock never goes back, even for a block whose deadline passed during a nested wait.
    void moveClockLocked(std::uint64_t to);

    mutable std::mutex mutex_;
    std::uint64_t now_;
    TimedWorkList items_;
    bool ended_ = false;
    std::shared_ptr<QueueCore> main_;
    std::array<std::shared_ptr<QueueCore>, 5> globals_;
};

}  // namespace velunto::detail
