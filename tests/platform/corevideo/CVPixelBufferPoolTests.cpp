#include "platform/corevideo/CVPixelBufferPool.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

namespace velunto {
namespace {

std::shared_ptr<CVPixelBufferPool> makePool(std::size_t width = 64, std::size_t height = 32,
                                            OSType format = kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange) {
    std::shared_ptr<CVPixelBufferPool> pool;
    EXPECT_EQ(CVPixelBufferPool::create({format, width, height}, &pool), kCVReturnSuccess);
    return pool;
}

std::shared_ptr<CVPixelBuffer> take(CVPixelBufferPool& pool) {
    std::shared_ptr<CVPixelBuffer> buffer;
    EXPECT_EQ(pool.createPixelBuffer(&buffer), kCVReturnSuccess);
    return buffer;
}

TEST(CVPixelBufferPool, RejectsBadAttributes) {
    std::shared_ptr<CVPixelBufferPool> pool;
    EXPECT_EQ(CVPixelBufferPool::create({'abcd', 16, 16}, &pool), kCVReturnInvalidPixelFormat);
    EXPECT_EQ(CVPixelBufferPool::create({kCVPixelFormatType_32BGRA, 0, 16}, &pool), kCVReturnInvalidSize);
    EXPECT_EQ(CVPixelBufferPool::create({kCVPixelFormatType_32BGRA, 16, 16385}, &pool), kCVReturnInvalidSize);
    EXPECT_FALSE(pool);
}

TEST(CVPixelBufferPool, BuffersHaveThePoolsFormatAndSize) {
    auto pool = makePool(1281, 721);
    auto buffer = take(*pool);
    EXPECT_EQ(buffer->width(), 1281u);
    EXPECT_EQ(buffer->height(), 721u);
    EXPECT_EQ(buffer->pixelFormatType(), kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
    EXPECT_EQ(buffer->sharedUseCount(), 1u);
    EXPECT_EQ(pool->attributes().width, 1281u);
}

TEST(CVPixelBufferPool, ReusesAReleasedBufferButNotOneStillHeld) {
    auto pool = makePool();
    auto first = take(*pool);
    const std::uint64_t firstID = first->bufferID();
    auto copy = first;
    first.reset();
    auto second = take(*pool);  // a copy still holds the first
    EXPECT_NE(second->bufferID(), firstID);
    EXPECT_EQ(pool->bufferCount(), 2u);
    EXPECT_EQ(pool->buffersInUse(), 2u);

    copy.reset();
    EXPECT_EQ(pool->buffersInUse(), 1u);
    auto third = take(*pool);
    EXPECT_EQ(third->bufferID(), firstID);
    EXPECT_EQ(pool->bufferCount(), 2u);
}

TEST(CVPixelBufferPool, DoesNotReuseABufferStillMapped) {
    auto pool = makePool();
    auto lent = take(*pool);
    const std::uint64_t lentID = lent->bufferID();
    std::shared_ptr<CVPixelBuffer> mapping;
    ASSERT_EQ(CVPixelBuffer::createFromSharedMemory(lent->sharedMemoryFD(), lent->layout(), &mapping),
              kCVReturnSuccess);
    lent.reset();

    auto other = take(*pool);
    const std::uint64_t otherID = other->bufferID();
    EXPECT_NE(otherID, lentID);
    other.reset();
    mapping.reset();
    // Both are free now: two takes give both back without making a third.
    auto a = take(*pool);
    auto b = take(*pool);
    EXPECT_EQ(std::min(a->bufferID(), b->bufferID()), std::min(lentID, otherID));
    EXPECT_EQ(std::max(a->bufferID(), b->bufferID()), std::max(lentID, otherID));
    EXPECT_EQ(pool->bufferCount(), 2u);
}

TEST(CVPixelBufferPool, RespectsItsMaximum) {
    auto pool = makePool();
    EXPECT_EQ(pool->maximumBufferCount(), CVPixelBufferPool::kDefaultMaximumBufferCount);
    pool->setMaximumBufferCount(8);
    std::vector<std::shared_ptr<CVPixelBuffer>> held;
    for (int i = 0; i < 8; ++i) {
        held.push_back(take(*pool));
    }
    std::shared_ptr<CVPixelBuffer> extra;
    EXPECT_EQ(pool->createPixelBuffer(&extra), kCVReturnPoolAllocationFailed);
    EXPECT_FALSE(extra);

    pool->setMaximumBufferCount(2);  // never shrinks what exists
    EXPECT_EQ(pool->bufferCount(), 8u);
    held.pop_back();
    EXPECT_EQ(pool->createPixelBuffer(&extra), kCVReturnSuccess);
    EXPECT_EQ(pool->bufferCount(), 8u);
    std::shared_ptr<CVPixelBuffer> beyond;
    EXPECT_EQ(pool->createPixelBuffer(&beyond), kCVReturnPoolAllocationFailed);

    auto small = makePool();
    small->setMaximumBufferCount(1);
    auto only = take(*small);
    std::shared_ptr<CVPixelBuffer> second;
    EXPECT_EQ(small->createPixelBuffer(&second), kCVReturnPoolAllocationFailed);
    only.reset();
    EXPECT_EQ(small->createPixelBuffer(&second), kCVReturnSuccess);
}

TEST(CVPixelBufferPool, BufferOutlivesThePool) {
    auto pool = makePool(16, 16, kCVPixelFormatType_32BGRA);
    auto buffer = take(*pool);
    pool.reset();
    auto* bytes = static_cast<std::uint8_t*>(buffer->baseAddress());
    std::memset(bytes, 0x42, buffer->bytesPerRow() * buffer->height());
    EXPECT_EQ(bytes[buffer->bytesPerRow() * buffer->height() - 1], 0x42);
    EXPECT_EQ(buffer->sharedUseCount(), 1u);
}

TEST(CVPixelBufferPool, WaitsForAnotherProcessToDropItsMapping) {
    auto pool = makePool();
    pool->setMaximumBufferCount(2);
    auto lent = take(*pool);
    const std::uint64_t lentID = lent->bufferID();
    const int fd = lent->sharedMemoryFD();
    const CVPixelBufferLayout layout = lent->layout();
    int toParent[2];
    int toChild[2];
    ASSERT_EQ(::pipe(toParent), 0);
    ASSERT_EQ(::pipe(toChild), 0);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 0;
        {
            std::shared_ptr<CVPixelBuffer> mapped;
            if (CVPixelBuffer::createFromSharedMemory(fd, layout, &mapped) != kCVReturnSuccess) {
                ::_exit(10);
            }
            const char ready = 'r';
            char go = 0;
            if (::write(toParent[1], &ready, 1) != 1 || ::read(toChild[0], &go, 1) != 1) {
                code = 12;
            }
        }
        ::_exit(code);
    }
    char ready = 0;
    ASSERT_EQ(::read(toParent[0], &ready, 1), 1);
    lent.reset();
    auto other = take(*pool);
    EXPECT_NE(other->bufferID(), lentID);
    other.reset();

    const char go = 'g';
    ASSERT_EQ(::write(toChild[1], &go, 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // Both buffers are free again, so two takes need no third buffer.
    auto a = take(*pool);
    auto b = take(*pool);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(a->bufferID() == lentID || b->bufferID() == lentID);
    EXPECT_EQ(pool->bufferCount(), 2u);
    for (int end : {toParent[0], toParent[1], toChild[0], toChild[1]}) {
        ::close(end);
    }
}

}  // namespace
}  // namespace velunto
