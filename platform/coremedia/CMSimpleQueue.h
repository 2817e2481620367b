#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/corefoundation/MacTypes.h"
#include "platform/coremedia/CMSampleBuffer.h"

namespace velunto {

// One code for a bad capacity and for a null element.
enum : OSStatus {
    kCMSimpleQueueError_ParameterOutOfRange = -12770,
    kCMSimpleQueueError_RequiredParameterMissing = -12770,
    kCMSimpleQueueError_QueueIsFull = -12772,
};

// A bounded single-producer single-consumer queue of sample buffers. Real-time safe: enqueue and
// dequeue take no lock and allocate nothing (the slots are made up front; a shared_ptr is moved into
// an empty slot and out again). One thread enqueues, one dequeues; count() may be read from anywhere.
class CMSimpleQueue {
public:
    // capacity >= 1, else kCMSimpleQueueError_ParameterOutOfRange.
    static OSStatus create(std::int32_t capacity, std::shared_ptr<CMSimpleQueue>* out);

    // kCMSimpleQueueError_QueueIsFull when full (the element is dropped), RequiredParameterMissing for null.
    OSStatus enqueue(CMSampleBufferRef element);
    CMSampleBufferRef dequeue();  // null when empty
    // The oldest element without removing it; consumer side only.
    const CMSampleBufferRef* head() const;

    std::int32_t count() const;
    std::int32_t capacity() const { return capacity_; }
    // Drops every element. Only while neither side is running.
    void reset();

    // Called after every successful enqueue, on the enqueuing thread. Set it before the producer starts.
    void setEnqueueHandler(std::function<void()> handler);

private:
    explicit CMSimpleQueue(std::int32_t capacity);

    const std::int32_t capacity_;
    std::unique_ptr<CMSampleBufferRef[]> slots_;
    std::function<void()> enqueueHandler_;
    // Monotonic positions: the slot of position n is n % capacity_. Apart, to keep the two sides off
    // each other's cache line.
    alignas(64) std::atomic<std::uint64_t> head_{0};  // next to dequeue; written by the consumer
    alignas(64) std::atomic<std::uint64_t> tail_{0};  // next to enqueue; written by the producer
};

}  // namespace velunto
