#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/QueueCore.h"
#include "platform/dispatch/TimedWorkList.h"

namespace velunto::detail {

// A real-time queue run by its own threads: serial with one thread, concurrent with more.
// Threads start with the first submitted block; each holds the core alive until it exits.
class ThreadedQueueCore final : public QueueCore, public std::enable_shared_from_this<ThreadedQueueCore> {
public:
    ThreadedQueueCore(std::string label, std::size_t threadCount);

    const std::string& label() const override { return label_; }
    bool isSerial() const override { return threadCount_ == 1; }
    bool syncRunsInline() const override { return !isSerial(); }
    DispatchTime clockNow() const override;
    void submit(DispatchTime deadline, std::function<void()> block) override;

    // Lets the threads finish the blocks that are due, drops the delayed ones, and joins the
    // threads (detaches the calling one when called from a block of this queue).
    void shutdown();

private:
    void workerLoop();

    const std::string label_;
    const std::size_t threadCount_;
    std::mutex mutex_;
    std::condition_variable cv_;
    TimedWorkList items_;
    std::vector<std::thread> threads_;
    bool stopping_ = false;
};

}  // namespace velunto::detail
