#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/dispatch/QueueCore.h"
#include "platform/dispatch/TimedWorkList.h"

namespace velunto::detail {

// The real-time main queue. It has no thread: MainRunLoop drains it on the thread that drives it,
// which from then on counts as being on the main queue.
class MainQueueCore final : public QueueCore {
public:
    const std::string& label() const override { return label_; }
    bool isSerial() const override { return true; }
    bool syncRunsInline() const override { return false; }
    DispatchTime clockNow() const override;
    void submit(DispatchTime deadline, std::function<void()> block) override;
    bool isCurrent() const override;

    // Runs the blocks that are due now and were queued before the call; returns whether any ran.
    bool performDueItems();
    std::optional<DispatchTime> nextDeadline() const;
    // Runs due blocks and sleeps in between until `until` passes or stop() is called.
    bool runUntil(DispatchTime until);
    void stop();
    void setWakeUpHandler(std::function<void()> handler);
    void attachCurrentThread();

private:
    const std::string label_ = "com.apple.main-thread";
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    TimedWorkList items_;
    std::shared_ptr<const std::function<void()>> wakeUp_;
    bool stopRequested_ = false;
    std::atomic<std::thread::id> thread_{};
};

}  // namespace velunto::detail
