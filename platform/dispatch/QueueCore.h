#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/dispatch/DispatchTime.h"

namespace velunto::detail {

// Prints "dispatch: <message>" and aborts.
[[noreturn]] void dispatchFatal(const std::string& message);

// A condition-variable wait for deltaNanoseconds, capped so that far deadlines cannot overflow.
std::chrono::nanoseconds boundedWait(std::uint64_t deltaNanoseconds);

// What a DispatchQueue handle points to: a real serial/concurrent/main queue or a virtual one.
class QueueCore {
public:
    QueueCore() = default;
    QueueCore(const QueueCore&) = delete;
    QueueCore& operator=(const QueueCore&) = delete;
    virtual ~QueueCore() = default;

    virtual const std::string& label() const = 0;
    virtual bool isSerial() const = 0;
    // Whether sync() runs the block on the calling thread instead of handing it over.
    virtual bool syncRunsInline() const = 0;
    // The clock this queue's deadlines are measured on.
    virtual DispatchTime clockNow() const = 0;
    virtual void submit(DispatchTime deadline, std::function<void()> block) = 0;
    // The calling thread runs inside an item of this queue (or a sync() made from one).
    virtual bool isCurrent() const;
    virtual bool runsInVirtualTime() const { return false; }
};

// Thread-local record of the queue whose item the calling thread runs. A block run by sync() links
// to its caller's context, so the caller's queue still counts as current inside it.
class QueueContext {
public:
    explicit QueueContext(const QueueCore* queue, const QueueContext* parent = top());
    ~QueueContext();
    QueueContext(const QueueContext&) = delete;
    QueueContext& operator=(const QueueContext&) = delete;

    static const QueueContext* top();
    static bool contains(const QueueCore* queue);

private:
    const QueueCore* queue_;
    const QueueContext* parent_;
    const QueueContext* previous_;
};

}  // namespace velunto::detail
