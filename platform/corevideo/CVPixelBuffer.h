#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/corevideo/CVReturn.h"

namespace velunto {

struct CVPixelBufferPlaneLayout {
    std::size_t offset;       // from the start of the shared-memory object
    std::size_t bytesPerRow;  // >= width * bytes per pixel of the plane
    std::size_t width;        // in samples of the plane (chroma pairs for the NV12 chroma plane)
    std::size_t height;

    bool operator==(const CVPixelBufferPlaneLayout&) const = default;
};

// Everything another process needs besides the fd. planeCount is what CVPixelBuffer::planeCount()
// reports: 0 for the non-planar formats, whose single plane is planes[0].
struct CVPixelBufferLayout {
    OSType pixelFormat;
    std::size_t width, height;
    std::size_t planeCount;
    std::array<CVPixelBufferPlaneLayout, 2> planes;
    std::size_t mappedSize;
    std::uint64_t bufferID;

    bool operator==(const CVPixelBufferLayout&) const = default;
};

// An image in memory that another process can map without a copy: one memfd holding a small header
// (magic, layout, use count) followed by the planes. The object is sealed against resizing, so a
// process that maps it cannot be made to fault by the owner shrinking it.
class CVPixelBuffer {
public:
    static constexpr std::size_t kMaximumDimension = 16384;
    static constexpr std::size_t kMaximumBytesPerRow = std::size_t{1} << 20;

    // Rows of each plane padded to a multiple of 64 bytes. Odd widths and heights are allowed (chroma
    // planes round up). Width or height 0, or above 16384: kCVReturnInvalidSize; unknown format:
    // kCVReturnInvalidPixelFormat.
    static CVReturn create(std::size_t width, std::size_t height, OSType pixelFormat,
                           std::shared_ptr<CVPixelBuffer>* out);
    // Same, with an explicit bytes-per-row for plane 0 (>= the minimum, <= kMaximumBytesPerRow,
    // else kCVReturnInvalidArgument). The chroma plane of NV12 gets the same stride, or its minimum if larger.
    static CVReturn createWithBytesPerRow(std::size_t width, std::size_t height, OSType pixelFormat,
                                          std::size_t bytesPerRow, std::shared_ptr<CVPixelBuffer>* out);
    // Maps a buffer made in another process (the fd is dup'ed; the caller keeps its own). The layout
    // is checked against the format's rules, the object's real size and seals, and the header's magic
    // and copy of the layout; anything inconsistent is refused with kCVReturnInvalidArgument.
    static CVReturn createFromSharedMemory(int fd, const CVPixelBufferLayout& layout,
                                           std::shared_ptr<CVPixelBuffer>* out);

    static bool isSupportedPixelFormat(OSType pixelFormat);

    CVPixelBuffer(const CVPixelBuffer&) = delete;
    CVPixelBuffer& operator=(const CVPixelBuffer&) = delete;
    ~CVPixelBuffer();  // unmaps, closes, and decrements the shared use count

    std::size_t width() const { return layout_.width; }
    std::size_t height() const { return layout_.height; }
    OSType pixelFormatType() const { return layout_.pixelFormat; }
    std::size_t planeCount() const { return layout_.planeCount; }  // 0 for BGRA/yuvs/2vuy, 2 for NV12

    void* baseAddress() { return baseAddressOfPlane(0); }  // plane 0 for planar formats
    std::size_t bytesPerRow() const { return layout_.planes[0].bytesPerRow; }

    // Plane 0 is also valid for the non-planar formats; an index past the last plane gives nullptr / 0.
    void* baseAddressOfPlane(std::size_t plane);
    const void* baseAddressOfPlane(std::size_t plane) const;
    std::size_t bytesPerRowOfPlane(std::size_t plane) const;
    std::size_t widthOfPlane(std::size_t plane) const;
    std::size_t heightOfPlane(std::size_t plane) const;

    // Bookkeeping only: an unlock without a matching lock of the same kind returns kCVReturnError.
    CVReturn lockBaseAddress(bool readOnly);
    CVReturn unlockBaseAddress(bool readOnly);

    int sharedMemoryFD() const { return fd_; }
    const CVPixelBufferLayout& layout() const { return layout_; }
    std::uint64_t bufferID() const { return layout_.bufferID; }

    // Handles on this memory in all processes (each CVPixelBuffer object counts once). Lives in the
    // shared header, so a pool can tell when no other process still reads the buffer.
    std::uint32_t sharedUseCount() const;
    // Gives back uses held by a process that died without unmapping. Never drops below this
    // object's own use.
    void relinquishSharedUses(std::uint32_t count);

private:
    CVPixelBuffer(int fd, std::uint8_t* mapping, const CVPixelBufferLayout& layout);

    std::size_t usedPlanes() const { return layout_.planeCount == 0 ? 1 : layout_.planeCount; }
    std::uint32_t& useCountWord() const;

    int fd_;
    std::uint8_t* mapping_;
    CVPixelBufferLayout layout_;
    std::atomic<std::int32_t> readOnlyLocks_{0};
    std::atomic<std::int32_t> readWriteLocks_{0};
};

}  // namespace velunto
