#include "platform/coremedia/CMSimpleQueue.h"

#include <gtest/gtest.h>

namespace velunto {
namespace {

class CMSimpleQueueTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CVPixelBuffer::create(8, 8, kCVPixelFormatType_32BGRA, &image_), kCVReturnSuccess);
        ASSERT_EQ(CMVideoFormatDescription::createForImageBuffer(*image_, &description_), noErr);
    }

    CMSampleBufferRef sample(std::int64_t index) {
        CMSampleBufferRef result;
        EXPECT_EQ(CMSampleBuffer::createReadyWithImageBuffer(
                      image_, description_, {CMTimeMake(1, 30), CMTimeMake(index, 30), kCMTimeInvalid}, &result),
                  noErr);
        return result;
    }

    static std::shared_ptr<CMSimpleQueue> makeQueue(std::int32_t capacity) {
        std::shared_ptr<CMSimpleQueue> queue;
        EXPECT_EQ(CMSimpleQueue::create(capacity, &queue), noErr);
        return queue;
    }

    std::shared_ptr<CVPixelBuffer> image_;
    std::shared_ptr<const CMVideoFormatDescription> description_;
};

TEST_F(CMSimpleQueueTest, CapacityMustBePositive) {
    std::shared_ptr<CMSimpleQueue> queue;
    EXPECT_EQ(CMSimpleQueue::create(0, &queue), -12770);
    EXPECT_EQ(CMSimpleQueue::create(-4, &queue), -12770);
    EXPECT_FALSE(queue);
    ASSERT_EQ(CMSimpleQueue::create(1, &queue), noErr);
    EXPECT_EQ(queue->capacity(), 1);
    EXPECT_EQ(queue->count(), 0);
}

TEST_F(CMSimpleQueueTest, FirstInFirstOutAcrossTheWrap) {
    auto queue = makeQueue(3);
    EXPECT_EQ(queue->dequeue(), nullptr);
    EXPECT_EQ(queue->head(), nullptr);
    std::int64_t next = 0;
    std::int64_t expected = 0;
    for (int round = 0; round < 10; ++round) {
        // Alternate between filling up and draining part-way so the positions wrap at every offset.
        while (queue->count() < queue->capacity()) {
            ASSERT_EQ(queue->enqueue(sample(next++)), noErr);
        }
        for (int i = 0; i < 1 + round % 3; ++i) {
            ASSERT_NE(queue->head(), nullptr);
            EXPECT_EQ((*queue->head())->presentationTimeStamp().value, expected);
            CMSampleBufferRef out = queue->dequeue();
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(out->presentationTimeStamp().value, expected++);
        }
    }
    while (CMSampleBufferRef out = queue->dequeue()) {
        EXPECT_EQ(out->presentationTimeStamp().value, expected++);
    }
    EXPECT_EQ(expected, next);
    EXPECT_EQ(queue->count(), 0);
}

TEST_F(CMSimpleQueueTest, FullAndNullAreRefused) {
    auto queue = makeQueue(2);
    EXPECT_EQ(queue->enqueue(nullptr), -12770);
    EXPECT_EQ(queue->count(), 0);
    ASSERT_EQ(queue->enqueue(sample(0)), noErr);
    ASSERT_EQ(queue->enqueue(sample(1)), noErr);
    EXPECT_EQ(queue->enqueue(sample(2)), kCMSimpleQueueError_QueueIsFull);
    EXPECT_EQ(queue->count(), 2);
    EXPECT_EQ(queue->dequeue()->presentationTimeStamp().value, 0);
    ASSERT_EQ(queue->enqueue(sample(3)), noErr);
    EXPECT_EQ(queue->dequeue()->presentationTimeStamp().value, 1);
    EXPECT_EQ(queue->dequeue()->presentationTimeStamp().value, 3);
    EXPECT_EQ(queue->dequeue(), nullptr);
}

TEST_F(CMSimpleQueueTest, HoldsNoReferenceAfterDequeueOrReset) {
    auto queue = makeQueue(4);
    CMSampleBufferRef first = sample(0);
    std::weak_ptr<CMSampleBuffer> watch = first;
    ASSERT_EQ(queue->enqueue(std::move(first)), noErr);
    queue->dequeue();  // dropped at once
    EXPECT_TRUE(watch.expired());

    CMSampleBufferRef second = sample(1);
    watch = second;
    ASSERT_EQ(queue->enqueue(second), noErr);
    second.reset();
    ASSERT_EQ(queue->enqueue(sample(2)), noErr);
    EXPECT_FALSE(watch.expired());
    queue->reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(queue->count(), 0);
    EXPECT_EQ(queue->dequeue(), nullptr);
    ASSERT_EQ(queue->enqueue(sample(3)), noErr);
    EXPECT_EQ(queue->dequeue()->presentationTimeStamp().value, 3);
    // Only the test's own handle on the image remains.
    EXPECT_EQ(image_.use_count(), 1);
}

TEST_F(CMSimpleQueueTest, HandlerRunsAfterEachSuccessfulEnqueue) {
    auto queue = makeQueue(2);
    std::vector<std::int32_t> countsSeen;
    queue->setEnqueueHandler([&] { countsSeen.push_back(queue->count()); });
    ASSERT_EQ(queue->enqueue(sample(0)), noErr);
    ASSERT_EQ(queue->enqueue(sample(1)), noErr);
    EXPECT_EQ(queue->enqueue(sample(2)), kCMSimpleQueueError_QueueIsFull);
    EXPECT_EQ(queue->enqueue(nullptr), -12770);
    // The element is already visible to the consumer when the handler runs.
    EXPECT_EQ(countsSeen, (std::vector<std::int32_t>{1, 2}));
}

}  // namespace
}  // namespace velunto
