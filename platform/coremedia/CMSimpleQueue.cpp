#include "platform/coremedia/CMSimpleQueue.h"

#include <algorithm>

namespace velunto {

static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

OSStatus CMSimpleQueue::create(std::int32_t capacity, std::shared_ptr<CMSimpleQueue>* out) {
    if (out == nullptr) {
        return kCMSimpleQueueError_RequiredParameterMissing;
    }
    out->reset();
    if (capacity < 1) {
        return kCMSimpleQueueError_ParameterOutOfRange;
    }
    out->reset(new CMSimpleQueue(capacity));
    return noErr;
}

CMSimpleQueue::CMSimpleQueue(std::int32_t capacity)
    : capacity_(capacity), slots_(std::make_unique<CMSampleBufferRef[]>(static_cast<std::size_t>(capacity))) {}

OSStatus CMSimpleQueue::enqueue(CMSampleBufferRef element) {
    if (!element) {
        return kCMSimpleQueueError_RequiredParameterMissing;
    }
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    if (tail - head >= static_cast<std::uint64_t>(capacity_)) {
        return kCMSimpleQueueError_QueueIsFull;
    }
    // The slot is empty: the consumer moved its last element out before publishing head.
    slots_[tail % static_cast<std::uint64_t>(capacity_)] = std::move(element);
    tail_.store(tail + 1, std::memory_order_release);
    if (enqueueHandler_) {
        enqueueHandler_();
    }
    return noErr;
}

CMSampleBufferRef CMSimpleQueue::dequeue() {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    const std::uint64_t tail = tail_.load(std::memory_order_acquire);
    if (head == tail) {
        return nullptr;
    }
    CMSampleBufferRef element = std::move(slots_[head % static_cast<std::uint64_t>(capacity_)]);
    head_.store(head + 1, std::memory_order_release);
    return element;
}

const CMSampleBufferRef* CMSimpleQueue::head() const {
    const std::uint64_t head = head_.load(std::memory_order_relaxed);
    const std::uint64_t tail = tail_.load(std::memory_order_acquire);
    return head == tail ? nullptr : &slots_[head % static_cast<std::uint64_t>(capacity_)];
}

std::int32_t CMSimpleQueue::count() const {
    // Head first: the tail read afterwards is at least as new, so the difference never underflows;
    // read from a third thread it may overshoot while both sides move.
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    const std::uint64_t tail = tail_.load(std::memory_order_acquire);
    return static_cast<std::int32_t>(std::min<std::uint64_t>(tail - head, static_cast<std::uint64_t>(capacity_)));
}

void CMSimpleQueue::reset() {
    for (std::int32_t i = 0; i < capacity_; ++i) {
        slots_[static_cast<std::size_t>(i)].reset();
    }
    head_.store(0, std::memory_order_release);
    tail_.store(0, std::memory_order_release);
}

void CMSimpleQueue::setEnqueueHandler(std::function<void()> handler) {
    enqueueHandler_ = std::move(handler);
}

}  // namespace velunto
