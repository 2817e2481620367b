#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/DispatchTime.h"

namespace velunto::detail {

class QueueCore;
class MainQueueCore;

// Creates queues and blocks waiting threads, either in real time or in virtual time. Each queue
// handle keeps the runtime that was current when it was made.
class DispatchRuntime {
public:
    DispatchRuntime() = default;
    DispatchRuntime(const DispatchRuntime&) = delete;
    DispatchRuntime& operator=(const DispatchRuntime&) = delete;
    virtual ~DispatchRuntime() = default;

    // The installed virtual runtime, or the process-wide real one.
    static std::shared_ptr<DispatchRuntime> current();
    // Installs a virtual runtime for the whole process; nullptr restores real time.
    static void installVirtual(std::shared_ptr<DispatchRuntime> runtime);
    // The real main queue, whatever is installed.
    static MainQueueCore& realMainQueue();

    virtual std::shared_ptr<QueueCore> makeSerialQueue(std::string label) = 0;
    virtual std::shared_ptr<QueueCore> mainQueue() = 0;
    virtual std::shared_ptr<QueueCore> globalQueue(DispatchQoS qos) = 0;

    // Waits until ready() (evaluated with `lock` held) or the deadline; false on timeout. `cv` must be
    // notified under `lock` when ready() may have changed. Virtual time runs due blocks on the calling
    // thread instead of sleeping, and times out when nothing is left to run.
    virtual bool waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, DispatchTime deadline,
                           const std::function<bool()>& ready) = 0;
};

// "com.apple.root.<qos>-qos"
std::string globalQueueLabel(DispatchQoS qos);

}  // namespace velunto::detail
