#include "platform/coremedia/CMSampleBuffer.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "platform/corevideo/CVPixelBufferPool.h"

namespace velunto {
namespace {

TEST(CMTime, ValidityAndSeconds) {
    const CMTime time = CMTimeMake(1001, 30000);
    EXPECT_TRUE(CMTIME_IS_VALID(time));
    EXPECT_DOUBLE_EQ(CMTimeGetSeconds(time), 1001.0 / 30000.0);
    EXPECT_DOUBLE_EQ(CMTimeGetSeconds(CMTimeMake(-3, 2)), -1.5);
    EXPECT_FALSE(CMTIME_IS_VALID(kCMTimeInvalid));
    EXPECT_FALSE(CMTIME_IS_VALID(CMTimeMake(5, 0)));
    EXPECT_TRUE(std::isnan(CMTimeGetSeconds(kCMTimeInvalid)));
}

TEST(CMTime, CompareAcrossTimescalesWithoutOverflow) {
    EXPECT_EQ(CMTimeCompare(CMTimeMake(1, 2), CMTimeMake(2, 4)), 0);
    EXPECT_EQ(CMTimeCompare(CMTimeMake(1, 3), CMTimeMake(1, 2)), -1);
    EXPECT_EQ(CMTimeCompare(CMTimeMake(2, 3), CMTimeMake(1, 2)), 1);
    const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(CMTimeCompare(CMTimeMake(huge, 1000000000), CMTimeMake(huge - 1, 1000000000)), 1);
    EXPECT_EQ(CMTimeCompare(CMTimeMake(huge, 3), CMTimeMake(huge, 2)), -1);
    EXPECT_EQ(CMTimeCompare(kCMTimeInvalid, CMTimeMake(0, 1)), -1);
    EXPECT_EQ(CMTimeCompare(kCMTimeInvalid, kCMTimeInvalid), 0);
}

std::shared_ptr<CVPixelBuffer> makeBuffer(std::size_t width, std::size_t height, OSType format) {
    std::shared_ptr<CVPixelBuffer> buffer;
    EXPECT_EQ(CVPixelBuffer::create(width, height, format, &buffer), kCVReturnSuccess);
    return buffer;
}

TEST(CMVideoFormatDescription, CreationAndMatching) {
    std::shared_ptr<const CMVideoFormatDescription> description;
    EXPECT_EQ(CMVideoFormatDescription::create('420v', 0, 720, &description),
              kCMFormatDescriptionError_InvalidParameter);
    EXPECT_EQ(CMVideoFormatDescription::create('420v', 1280, -1, &description),
              kCMFormatDescriptionError_InvalidParameter);
    EXPECT_FALSE(description);

    auto buffer = makeBuffer(1280, 720, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
    ASSERT_EQ(CMVideoFormatDescription::createForImageBuffer(*buffer, &description), noErr);
    EXPECT_EQ(description->mediaSubType(), kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
    EXPECT_EQ(description->width(), 1280);
    EXPECT_EQ(description->height(), 720);
    EXPECT_TRUE(description->matchesImageBuffer(*buffer));
    EXPECT_FALSE(
        description->matchesImageBuffer(*makeBuffer(1280, 720, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange)));
    EXPECT_FALSE(
        description->matchesImageBuffer(*makeBuffer(1280, 721, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange)));
    EXPECT_FALSE(
        description->matchesImageBuffer(*makeBuffer(1279, 720, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange)));
}

TEST(CMSampleBuffer, RequiresAMatchingDescription) {
    auto buffer = makeBuffer(64, 48, kCVPixelFormatType_32BGRA);
    std::shared_ptr<const CMVideoFormatDescription> description;
    ASSERT_EQ(CMVideoFormatDescription::createForImageBuffer(*buffer, &description), noErr);
    std::shared_ptr<const CMVideoFormatDescription> other;
    ASSERT_EQ(CMVideoFormatDescription::create(kCVPixelFormatType_32BGRA, 64, 47, &other), noErr);
    const CMSampleTimingInfo timing{CMTimeMake(1, 30), CMTimeMake(7, 30), kCMTimeInvalid};

    CMSampleBufferRef sample;
    EXPECT_EQ(CMSampleBuffer::createReadyWithImageBuffer(nullptr, description, timing, &sample),
              kCMSampleBufferError_RequiredParameterMissing);
    EXPECT_EQ(CMSampleBuffer::createReadyWithImageBuffer(buffer, nullptr, timing, &sample),
              kCMSampleBufferError_RequiredParameterMissing);
    EXPECT_EQ(CMSampleBuffer::createReadyWithImageBuffer(buffer, other, timing, &sample),
              kCMSampleBufferError_InvalidMediaFormat);
    EXPECT_FALSE(sample);

    ASSERT_EQ(CMSampleBuffer::createReadyWithImageBuffer(buffer, description, timing, &sample), noErr);
    EXPECT_EQ(sample->imageBuffer(), buffer);
    EXPECT_EQ(sample->formatDescription(), description);
    EXPECT_EQ(sample->timing().presentationTimeStamp.value, 7);
    EXPECT_EQ(sample->timing().duration.value, 1);
    EXPECT_FALSE(CMTIME_IS_VALID(sample->timing().decodeTimeStamp));
}

TEST(CMSampleBuffer, KeepsAPoolBufferOutOfThePoolWhileItLives) {
    std::shared_ptr<CVPixelBufferPool> pool;
    ASSERT_EQ(CVPixelBufferPool::create({kCVPixelFormatType_32BGRA, 32, 32}, &pool), kCVReturnSuccess);
    std::shared_ptr<CVPixelBuffer> buffer;
    ASSERT_EQ(pool->createPixelBuffer(&buffer), kCVReturnSuccess);
    const std::uint64_t id = buffer->bufferID();
    std::shared_ptr<const CMVideoFormatDescription> description;
    ASSERT_EQ(CMVideoFormatDescription::createForImageBuffer(*buffer, &description), noErr);
    CMSampleBufferRef sample;
    ASSERT_EQ(CMSampleBuffer::createReadyWithImageBuffer(std::move(buffer), description, {}, &sample), noErr);

    std::shared_ptr<CVPixelBuffer> next;
    ASSERT_EQ(pool->createPixelBuffer(&next), kCVReturnSuccess);
    EXPECT_NE(next->bufferID(), id);
    next.reset();
    sample.reset();
    std::shared_ptr<CVPixelBuffer> first;
    std::shared_ptr<CVPixelBuffer> second;
    ASSERT_EQ(pool->createPixelBuffer(&first), kCVReturnSuccess);
    ASSERT_EQ(pool->createPixelBuffer(&second), kCVReturnSuccess);
    EXPECT_TRUE(first->bufferID() == id || second->bufferID() == id);
    EXPECT_EQ(pool->bufferCount(), 2u);
}

}  // namespace
}  // namespace velunto
