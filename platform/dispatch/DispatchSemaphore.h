#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/dispatch/DispatchTime.h"

namespace velunto {

// A counting semaphore. In virtual time a waiting thread runs the due blocks (moving the clock to
// them) until the count is positive; with nothing left to run, wait(timeout) moves the clock to the
// timeout and returns timedOut, and wait() aborts with a deadlock message.
class DispatchSemaphore {
public:
    explicit DispatchSemaphore(long value);
    DispatchSemaphore(const DispatchSemaphore&) = delete;
    DispatchSemaphore& operator=(const DispatchSemaphore&) = delete;

    void signal();
    void wait();
    DispatchTimeoutResult wait(DispatchTime timeout);

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    long value_;
};

}  // namespace velunto
