#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/dispatch/DispatchTime.h"
#include "platform/dispatch/DispatchWorkItem.h"

namespace velunto {

namespace detail {
class QueueCore;

template <class F>
concept ValueBlock = !std::is_void_v<std::invoke_result_t<F&>>;
}  // namespace detail

// A cheap, copyable handle to a queue. Serial queues run one block at a time in submission order
// (delayed blocks by deadline); global queues are concurrent; the main queue is drained by
// MainRunLoop. A handle keeps the real or virtual runtime it was made under.
//
// A real serial queue has one thread, stopped and joined when its last handle goes: blocks that are
// due by then still run, delayed ones are dropped. Global queues have a small fixed pool each, so
// blocks there must not wait on each other.
class DispatchQueue {
public:
    explicit DispatchQueue(std::string label);
    static DispatchQueue main();
    static DispatchQueue global(DispatchQoS qos = DispatchQoS::defaultQoS);

    // Main: "com.apple.main-thread"; globals: "com.apple.root.<qos>-qos".
    const std::string& label() const;

    void async(std::function<void()> block) const;
    void async(std::shared_ptr<DispatchWorkItem> item) const;
    void asyncAfter(DispatchTime deadline, std::function<void()> block) const;
    void asyncAfter(DispatchTime deadline, std::shared_ptr<DispatchWorkItem> item) const;

    // Runs the block on the queue and waits for it; in virtual time (and on global queues) it runs
    // inline in the queue's context. sync() onto the serial queue the caller is already on aborts.
    void sync(std::function<void()> block) const;

    // sync() that returns the block's result: `int n = queue.sync([&] { return count; });`
    template <detail::ValueBlock F>
    std::invoke_result_t<F&> sync(F&& f) const {
        std::optional<std::invoke_result_t<F&>> result;
        sync(std::function<void()>([&] { result.emplace(f()); }));
        return std::move(*result);
    }

    // The caller runs inside a block of this queue, or inside a sync() made from one. The thread
    // that drives MainRunLoop is always on the main queue.
    bool isCurrent() const;
    // Its blocks run in virtual time (a test's clock) rather than on a thread of their own.
    bool runsInVirtualTime() const;

    friend bool operator==(const DispatchQueue& a, const DispatchQueue& b) { return a.core_ == b.core_; }

private:
    explicit DispatchQueue(std::shared_ptr<detail::QueueCore> core);

    std::shared_ptr<detail::QueueCore> core_;
};

// Aborts with a message naming the queue unless queue.isCurrent().
void dispatchPreconditionOnQueue(const DispatchQueue& queue);

}  // namespace velunto
