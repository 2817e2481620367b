#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "platform/dispatch/DispatchTime.h"

namespace velunto {

// Drives the real-time main queue, which has no thread of its own. The thread that first drives it
// (or calls attachCurrentThread()) is the main thread: DispatchQueue::main().isCurrent() holds there.
// An event loop integration sets a wake-up handler, calls performDueItems() when woken, and arms a
// timer for nextDeadline(). Always the real main queue, also while a VirtualTime is installed.
class MainRunLoop {
public:
    // Runs main-queue blocks until stop().
    static void run();
    // A stop() that arrives while nothing runs ends the next run()/runFor() right away.
    static void stop();
    // Runs due main-queue blocks for up to d (sleeping in between); returns whether any ran.
    static bool runFor(std::chrono::nanoseconds d);
    // Runs the blocks due now that were queued before the call; doesn't wait.
    static void performDueItems();
    static std::optional<DispatchTime> nextDeadline();
    // Called, from any thread, when a block is queued that is due earlier than all others.
    static void setWakeUpHandler(std::function<void()> handler);
    static void attachCurrentThread();
};

}  // namespace velunto
