#include "platform/corevideo/CVPixelBuffer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

namespace velunto {
namespace {

std::shared_ptr<CVPixelBuffer> make(std::size_t width, std::size_t height, OSType format) {
    std::shared_ptr<CVPixelBuffer> buffer;
    EXPECT_EQ(CVPixelBuffer::create(width, height, format, &buffer), kCVReturnSuccess);
    return buffer;
}

// Every byte of every row of every plane can be written and read back: catches a mapping or layout
// that is too small or planes that overlap.
void expectPlanesDisjointAndWritable(CVPixelBuffer& buffer) {
    const std::size_t planes = buffer.planeCount() == 0 ? 1 : buffer.planeCount();
    for (std::size_t p = 0; p < planes; ++p) {
        auto* base = static_cast<std::uint8_t*>(buffer.baseAddressOfPlane(p));
        ASSERT_NE(base, nullptr);
        std::memset(base, static_cast<int>(0x10 + p), buffer.bytesPerRowOfPlane(p) * buffer.heightOfPlane(p));
    }
    for (std::size_t p = 0; p < planes; ++p) {
        auto* base = static_cast<std::uint8_t*>(buffer.baseAddressOfPlane(p));
        const std::size_t bytes = buffer.bytesPerRowOfPlane(p) * buffer.heightOfPlane(p);
        for (std::size_t i = 0; i < bytes; ++i) {
            ASSERT_EQ(base[i], 0x10 + p) << "plane " << p << " byte " << i;
        }
    }
}

TEST(CVPixelBufferLayout, RowsArePaddedToSixtyFourBytesAndPlanesFollowTheFormat) {
    struct Case {
        std::size_t width, height;
        OSType format;
        std::size_t planeCount;
        std::size_t bytesPerRow0, width1, height1, bytesPerRow1;
    };
    const Case cases[] = {
        {1920, 1080, kCVPixelFormatType_32BGRA, 0, 7680, 0, 0, 0},
        {33, 7, kCVPixelFormatType_32BGRA, 0, 192, 0, 0, 0},
        {1281, 721, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, 2, 1344, 641, 361, 1344},
        {1, 1, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, 2, 64, 1, 1, 64},
        {33, 3, kCVPixelFormatType_422YpCbCr8_yuvs, 0, 128, 0, 0, 0},  // 17 pairs of 4 bytes = 68
        {32, 3, kCVPixelFormatType_422YpCbCr8, 0, 64, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
        auto buffer = make(c.width, c.height, c.format);
        ASSERT_TRUE(buffer);
        EXPECT_EQ(buffer->width(), c.width);
        EXPECT_EQ(buffer->height(), c.height);
        EXPECT_EQ(buffer->pixelFormatType(), c.format);
        EXPECT_EQ(buffer->planeCount(), c.planeCount);
        EXPECT_EQ(buffer->bytesPerRow(), c.bytesPerRow0);
        EXPECT_EQ(buffer->bytesPerRowOfPlane(0), c.bytesPerRow0);
        EXPECT_EQ(buffer->widthOfPlane(0), c.width);
        EXPECT_EQ(buffer->heightOfPlane(0), c.height);
        EXPECT_EQ(buffer->baseAddress(), buffer->baseAddressOfPlane(0));
        EXPECT_EQ(buffer->widthOfPlane(1), c.width1);
        EXPECT_EQ(buffer->heightOfPlane(1), c.height1);
        EXPECT_EQ(buffer->bytesPerRowOfPlane(1), c.bytesPerRow1);
        EXPECT_EQ(buffer->baseAddressOfPlane(1) != nullptr, c.planeCount == 2);
        EXPECT_EQ(buffer->baseAddressOfPlane(2), nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer->baseAddress()) % 64, 0u);
        EXPECT_EQ(buffer->layout().planeCount, c.planeCount);

        struct stat status {};
        ASSERT_EQ(::fstat(buffer->sharedMemoryFD(), &status), 0);
        EXPECT_GE(static_cast<std::size_t>(status.st_size), buffer->layout().mappedSize);
        expectPlanesDisjointAndWritable(*buffer);
        EXPECT_EQ(buffer->sharedUseCount(), 1u);
    }
}

TEST(CVPixelBufferLayout, RejectsBadSizesAndFormats) {
    std::shared_ptr<CVPixelBuffer> buffer;
    EXPECT_EQ(CVPixelBuffer::create(0, 10, kCVPixelFormatType_32BGRA, &buffer), kCVReturnInvalidSize);
    EXPECT_EQ(CVPixelBuffer::create(10, 0, kCVPixelFormatType_32BGRA, &buffer), kCVReturnInvalidSize);
    EXPECT_EQ(CVPixelBuffer::create(16385, 1, kCVPixelFormatType_32BGRA, &buffer), kCVReturnInvalidSize);
    EXPECT_EQ(CVPixelBuffer::create(1, 16385, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, &buffer),
              kCVReturnInvalidSize);
    EXPECT_EQ(CVPixelBuffer::create(10, 10, 'abcd', &buffer), kCVReturnInvalidPixelFormat);
    EXPECT_FALSE(buffer);
    EXPECT_EQ(CVPixelBuffer::create(16384, 1, kCVPixelFormatType_32BGRA, &buffer), kCVReturnSuccess);
    EXPECT_TRUE(buffer);
}

TEST(CVPixelBufferLayout, ExplicitBytesPerRow) {
    std::shared_ptr<CVPixelBuffer> buffer;
    EXPECT_EQ(CVPixelBuffer::createWithBytesPerRow(100, 4, kCVPixelFormatType_32BGRA, 399, &buffer),
              kCVReturnInvalidArgument);
    EXPECT_FALSE(buffer);
    EXPECT_EQ(CVPixelBuffer::createWithBytesPerRow(3, 4, kCVPixelFormatType_422YpCbCr8_yuvs, 6, &buffer),
              kCVReturnInvalidArgument);  // two pairs need 8 bytes

    ASSERT_EQ(CVPixelBuffer::createWithBytesPerRow(100, 4, kCVPixelFormatType_32BGRA, 403, &buffer), kCVReturnSuccess);
    EXPECT_EQ(buffer->bytesPerRow(), 403u);
    expectPlanesDisjointAndWritable(*buffer);

    // The chroma plane shares the luma stride, or takes its own minimum when that is larger.
    ASSERT_EQ(
        CVPixelBuffer::createWithBytesPerRow(101, 5, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, 160, &buffer),
        kCVReturnSuccess);
    EXPECT_EQ(buffer->bytesPerRowOfPlane(0), 160u);
    EXPECT_EQ(buffer->bytesPerRowOfPlane(1), 160u);
    EXPECT_EQ(buffer->heightOfPlane(1), 3u);
    expectPlanesDisjointAndWritable(*buffer);
    ASSERT_EQ(
        CVPixelBuffer::createWithBytesPerRow(101, 5, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, 101, &buffer),
        kCVReturnSuccess);
    EXPECT_EQ(buffer->bytesPerRowOfPlane(0), 101u);
    EXPECT_EQ(buffer->bytesPerRowOfPlane(1), 102u);
    expectPlanesDisjointAndWritable(*buffer);
}

TEST(CVPixelBufferLocking, UnlockNeedsAMatchingLock) {
    auto buffer = make(8, 8, kCVPixelFormatType_32BGRA);
    EXPECT_EQ(buffer->unlockBaseAddress(true), kCVReturnError);
    EXPECT_EQ(buffer->lockBaseAddress(true), kCVReturnSuccess);
    EXPECT_EQ(buffer->unlockBaseAddress(false), kCVReturnError);
    EXPECT_EQ(buffer->unlockBaseAddress(true), kCVReturnSuccess);
    EXPECT_EQ(buffer->unlockBaseAddress(true), kCVReturnError);
}

TEST(CVPixelBufferSharedMemory, MappingSeesTheSameBytesAndCountsOnce) {
    auto buffer = make(64, 16, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
    std::shared_ptr<CVPixelBuffer> mapped;
    ASSERT_EQ(CVPixelBuffer::createFromSharedMemory(buffer->sharedMemoryFD(), buffer->layout(), &mapped),
              kCVReturnSuccess);
    EXPECT_NE(mapped->baseAddressOfPlane(0), buffer->baseAddressOfPlane(0));
    EXPECT_NE(mapped->sharedMemoryFD(), buffer->sharedMemoryFD());
    EXPECT_EQ(mapped->layout(), buffer->layout());
    EXPECT_EQ(buffer->sharedUseCount(), 2u);
    EXPECT_EQ(mapped->sharedUseCount(), 2u);

    static_cast<std::uint8_t*>(buffer->baseAddressOfPlane(1))[5] = 0xAB;
    static_cast<std::uint8_t*>(mapped->baseAddressOfPlane(0))[7] = 0xCD;
    EXPECT_EQ(static_cast<std::uint8_t*>(mapped->baseAddressOfPlane(1))[5], 0xAB);
    EXPECT_EQ(static_cast<std::uint8_t*>(buffer->baseAddressOfPlane(0))[7], 0xCD);

    std::shared_ptr<CVPixelBuffer> second;
    ASSERT_EQ(CVPixelBuffer::createFromSharedMemory(mapped->sharedMemoryFD(), mapped->layout(), &second),
              kCVReturnSuccess);
    EXPECT_EQ(buffer->sharedUseCount(), 3u);
    second.reset();
    mapped.reset();
    EXPECT_EQ(buffer->sharedUseCount(), 1u);
    // The caller's fd is its own: still open after the mapping went.
    EXPECT_NE(::fcntl(buffer->sharedMemoryFD(), F_GETFD), -1);
}

TEST(CVPixelBufferSharedMemory, RelinquishingNeverDropsTheOwnUse) {
    auto buffer = make(64, 16, kCVPixelFormatType_32BGRA);
    buffer->relinquishSharedUses(3);
    EXPECT_EQ(buffer->sharedUseCount(), 1u);
}

TEST(CVPixelBufferSharedMemory, ChildProcessMapsTheBufferWithoutACopy) {
    auto buffer = make(31, 9, kCVPixelFormatType_32BGRA);
    auto* pixels = static_cast<std::uint8_t*>(buffer->baseAddress());
    for (std::size_t i = 0; i < buffer->bytesPerRow() * buffer->height(); ++i) {
        pixels[i] = static_cast<std::uint8_t>(i * 7);
    }
    int toParent[2];
    int toChild[2];
    ASSERT_EQ(::pipe(toParent), 0);
    ASSERT_EQ(::pipe(toChild), 0);
    const int fd = buffer->sharedMemoryFD();
    const CVPixelBufferLayout layout = buffer->layout();

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // No gtest in here: the exit status carries the verdict.
        int code = 0;
        {
            std::shared_ptr<CVPixelBuffer> mapped;
            if (CVPixelBuffer::createFromSharedMemory(fd, layout, &mapped) != kCVReturnSuccess) {
                ::_exit(10);
            }
            const auto* seen = static_cast<const std::uint8_t*>(mapped->baseAddress());
            for (std::size_t i = 0; i < layout.planes[0].bytesPerRow * layout.height; ++i) {
                if (seen[i] != static_cast<std::uint8_t>(i * 7)) {
                    code = 11;
                }
            }
            static_cast<std::uint8_t*>(mapped->baseAddress())[0] = 0x5A;
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
    EXPECT_EQ(buffer->sharedUseCount(), 2u);
    EXPECT_EQ(pixels[0], 0x5A);
    const char go = 'g';
    ASSERT_EQ(::write(toChild[1], &go, 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(buffer->sharedUseCount(), 1u);
    for (int end : {toParent[0], toParent[1], toChild[0], toChild[1]}) {
        ::close(end);
    }
}

class CVPixelBufferRefusal : public testing::Test {
protected:
    void SetUp() override {
        buffer_ = make(40, 20, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
        layout_ = buffer_->layout();
    }

    CVReturn map(const CVPixelBufferLayout& layout, int fd = -2) {
        std::shared_ptr<CVPixelBuffer> mapped;
        const CVReturn status =
            CVPixelBuffer::createFromSharedMemory(fd == -2 ? buffer_->sharedMemoryFD() : fd, layout, &mapped);
        EXPECT_EQ(mapped != nullptr, status == kCVReturnSuccess);
        return status;
    }

    std::shared_ptr<CVPixelBuffer> buffer_;
    CVPixelBufferLayout layout_{};
};

TEST_F(CVPixelBufferRefusal, LayoutLargerThanTheObject) {
    CVPixelBufferLayout layout = layout_;
    layout.mappedSize += 4096;
    layout.planes[1].height += 4096 / layout.planes[1].bytesPerRow;
    EXPECT_EQ(map(layout), kCVReturnInvalidArgument);
    layout = layout_;
    layout.mappedSize += 4096;
    EXPECT_EQ(map(layout), kCVReturnInvalidArgument);
    EXPECT_EQ(buffer_->sharedUseCount(), 1u);
}

TEST_F(CVPixelBufferRefusal, InconsistentPlanes) {
    CVPixelBufferLayout layout = layout_;
    layout.planes[0].bytesPerRow = 39;  // below the width
    EXPECT_EQ(map(layout), kCVReturnInvalidArgument);
    layout = layout_;
    layout.planes[1].offset = layout.mappedSize - 10;  // runs past the end
    EXPECT_EQ(map(layout), kCVReturnInvalidArgument);
    layout = layout_;
    layout.planes[1].offset = layout.planes[0].offset + 64;  // overlaps plane 0
    EXPECT_EQ(map(layout), kCVReturnInvalidArgument);
    layout = layout_;
    layout.planes[0].offset = 0;  // over the header
    EXPECT_EQ(map(layout), kCVReturnInvalidArgument);
    layout = layout_;
    layout.planes[1].height = 1;  // not what 4:2:0 implies
    EXPECT_EQ(map(layout), kCVReturnInvalidArgument);
    layout = layout_;
    layout.planeCount = 0;
    EXPECT_EQ(map(layout), kCVReturnInvalidArgument);
    layout = layout_;
    layout.pixelFormat = 'abcd';
    EXPECT_EQ(map(layout), kCVReturnInvalidPixelFormat);
    EXPECT_EQ(map(layout_), kCVReturnSuccess);
}

TEST_F(CVPixelBufferRefusal, LayoutThatDisagreesWithTheHeader) {
    CVPixelBufferLayout layout = layout_;
    layout.pixelFormat = kCVPixelFormatType_420YpCbCr8BiPlanarFullRange;  // consistent, but not this buffer
    EXPECT_EQ(map(layout), kCVReturnInvalidArgument);
    layout = layout_;
    layout.bufferID += 1;
    EXPECT_EQ(map(layout), kCVReturnInvalidArgument);
    layout = layout_;
    layout.planes[1].offset += 64;  // still inside the object, but not where the header says
    layout.mappedSize += 64;
    EXPECT_EQ(map(layout), kCVReturnInvalidArgument);
}

TEST_F(CVPixelBufferRefusal, WrongMagic) {
    void* raw = ::mmap(nullptr, 64, PROT_READ | PROT_WRITE, MAP_SHARED, buffer_->sharedMemoryFD(), 0);
    ASSERT_NE(raw, MAP_FAILED);
    auto* bytes = static_cast<std::uint8_t*>(raw);
    bytes[0] ^= 0xFF;
    EXPECT_EQ(map(layout_), kCVReturnInvalidArgument);
    bytes[0] ^= 0xFF;
    EXPECT_EQ(map(layout_), kCVReturnSuccess);
    ::munmap(raw, 64);
}

TEST_F(CVPixelBufferRefusal, FileThatIsNotASealedSharedMemoryObject) {
    EXPECT_EQ(map(layout_, -1), kCVReturnInvalidArgument);
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    EXPECT_EQ(map(layout_, ends[0]), kCVReturnInvalidArgument);
    ::close(ends[0]);
    ::close(ends[1]);

    // A faithful copy of the header, in memory its owner could still shrink under the reader: refused
    // until it is sealed against shrinking.
    const int copy = ::memfd_create("copy", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    ASSERT_GE(copy, 0);
    ASSERT_EQ(::ftruncate(copy, static_cast<off_t>(layout_.mappedSize)), 0);
    const auto* header = static_cast<const std::uint8_t*>(buffer_->baseAddressOfPlane(0)) - layout_.planes[0].offset;
    ASSERT_EQ(::pwrite(copy, header, layout_.planes[0].offset, 0), static_cast<ssize_t>(layout_.planes[0].offset));
    EXPECT_EQ(map(layout_, copy), kCVReturnInvalidArgument);
    ASSERT_EQ(::fcntl(copy, F_ADD_SEALS, F_SEAL_SHRINK), 0);
    EXPECT_EQ(map(layout_, copy), kCVReturnSuccess);
    ::close(copy);
    EXPECT_EQ(buffer_->sharedUseCount(), 1u);
}

}  // namespace
}  // namespace velunto
