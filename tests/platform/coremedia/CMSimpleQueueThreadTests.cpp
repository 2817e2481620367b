#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/coremedia/CMSimpleQueue.h"

namespace velunto {
namespace {

// One producer and one consumer on real threads: every element arrives exactly once and in order,
// and the enqueue handler ran once per element on the producer's thread.
TEST(CMSimpleQueueThreads, SingleProducerSingleConsumerKeepsOrder) {
#ifdef VELUNTO_TSAN
    constexpr std::int64_t kElements = 100000;
#else
    constexpr std::int64_t kElements = 300000;
#endif
    std::shared_ptr<CVPixelBuffer> image;
    ASSERT_EQ(CVPixelBuffer::create(4, 4, kCVPixelFormatType_32BGRA, &image), kCVReturnSuccess);
    std::shared_ptr<const CMVideoFormatDescription> description;
    ASSERT_EQ(CMVideoFormatDescription::createForImageBuffer(*image, &description), noErr);
    std::shared_ptr<CMSimpleQueue> queue;
    ASSERT_EQ(CMSimpleQueue::create(16, &queue), noErr);

    std::atomic<std::int64_t> handlerCalls{0};
    std::thread::id handlerThread;
    queue->setEnqueueHandler([&] {
        handlerThread = std::this_thread::get_id();
        handlerCalls.fetch_add(1, std::memory_order_relaxed);
    });

    std::int64_t fullRetries = 0;
    std::thread producer([&] {
        for (std::int64_t i = 0; i < kElements; ++i) {
            CMSampleBufferRef element;
            CMSampleBuffer::createReadyWithImageBuffer(image, description, {kCMTimeInvalid, CMTimeMake(i, 1000), {}},
                                                       &element);
            while (queue->enqueue(element) == kCMSimpleQueueError_QueueIsFull) {
                ++fullRetries;
                std::this_thread::yield();
            }
        }
    });

    std::int64_t received = 0;
    std::int64_t outOfOrder = 0;
    while (received < kElements) {
        CMSampleBufferRef element = queue->dequeue();
        if (!element) {
            std::this_thread::yield();
            continue;
        }
        const std::int32_t count = queue->count();
        if (count < 0 || count > queue->capacity()) {
            ++outOfOrder;
        }
        if (element->presentationTimeStamp().value != received) {
            ++outOfOrder;
        }
        ++received;
    }
    const std::thread::id producerID = producer.get_id();
    producer.join();

    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(received, kElements);
    EXPECT_EQ(queue->dequeue(), nullptr);
    EXPECT_EQ(handlerCalls.load(), kElements);
    EXPECT_EQ(handlerThread, producerID);
    EXPECT_EQ(image.use_count(), 1);
    RecordProperty("fullRetries", std::to_string(fullRetries));
}

}  // namespace
}  // namespace velunto
