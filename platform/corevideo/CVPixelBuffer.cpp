#include "platform/corevideo/CVPixelBuffer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace velunto {

namespace {

constexpr std::uint64_t kHeaderMagic = 0x56454c5550495842ULL;  // "VELUPIXB"
constexpr std::uint32_t kHeaderVersion = 1;
constexpr std::size_t kRowAlignment = 64;

// The first bytes of every shared pixel buffer. Fixed-width fields only: both sides may be
// different builds. useCount is only touched through std::atomic_ref.
struct SharedHeader {
    std::uint64_t magic;
    std::uint32_t version;
    std::uint32_t pixelFormat;
    std::uint64_t width;
    std::uint64_t height;
    std::uint64_t planeCount;
    std::uint64_t planeOffset[2];
    std::uint64_t planeBytesPerRow[2];
    std::uint64_t planeWidth[2];
    std::uint64_t planeHeight[2];
    std::uint64_t mappedSize;
    std::uint64_t bufferID;
    alignas(std::atomic_ref<std::uint32_t>::required_alignment) std::uint32_t useCount;
    std::uint32_t reserved;
};

static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);

constexpr std::size_t roundUp(std::size_t value, std::size_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

constexpr std::size_t kHeaderRegion = roundUp(sizeof(SharedHeader), kRowAlignment);

// Per plane of a format: bytes per sample and how the plane's sample grid follows the image size.
struct PlaneRule {
    std::size_t bytesPerSample;
    bool halfWidth;
    bool halfHeight;
    bool pairPacked = false;  // 4:2:2 packed: pixels come in 4-byte pairs, an odd width needs the whole last pair
};

struct FormatRule {
    std::size_t planeCount;  // as reported: 0 for non-planar
    std::size_t usedPlanes;
    PlaneRule planes[2];
};

bool formatRule(OSType format, FormatRule* rule) {
    switch (format) {
        case kCVPixelFormatType_32BGRA:
            *rule = {0, 1, {{4, false, false}, {}}};
            return true;
        case kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange:
        case kCVPixelFormatType_420YpCbCr8BiPlanarFullRange:
            *rule = {2, 2, {{1, false, false}, {2, true, true}}};
            return true;
        case kCVPixelFormatType_422YpCbCr8_yuvs:
        case kCVPixelFormatType_422YpCbCr8:
            *rule = {0, 1, {{2, false, false, true}, {}}};
            return true;
        default:
            return false;
    }
}

std::size_t planeWidthFor(const PlaneRule& rule, std::size_t width) {
    return rule.halfWidth ? (width + 1) / 2 : width;
}

std::size_t planeHeightFor(const PlaneRule& rule, std::size_t height) {
    return rule.halfHeight ? (height + 1) / 2 : height;
}

std::size_t minimumBytesPerRow(const PlaneRule& rule, std::size_t planeWidth) {
    return (rule.pairPacked ? roundUp(planeWidth, 2) : planeWidth) * rule.bytesPerSample;
}

std::uint64_t nextBufferID() {
    static std::atomic<std::uint32_t> counter{0};
    return (static_cast<std::uint64_t>(::getpid()) << 32) | (counter.fetch_add(1, std::memory_order_relaxed) + 1);
}

CVReturn checkSize(std::size_t width, std::size_t height, OSType format, FormatRule* rule) {
    if (!formatRule(format, rule)) {
        return kCVReturnInvalidPixelFormat;
    }
    if (width == 0 || height == 0 || width > CVPixelBuffer::kMaximumDimension ||
        height > CVPixelBuffer::kMaximumDimension) {
        return kCVReturnInvalidSize;
    }
    return kCVReturnSuccess;
}

// bytesPerRow 0 asks for the minimum rounded up to kRowAlignment.
CVReturn makeLayout(std::size_t width, std::size_t height, OSType format, std::size_t bytesPerRow,
                    CVPixelBufferLayout* layout) {
    FormatRule rule;
    if (const CVReturn status = checkSize(width, height, format, &rule); status != kCVReturnSuccess) {
        return status;
    }
    *layout = {};
    layout->pixelFormat = format;
    layout->width = width;
    layout->height = height;
    layout->planeCount = rule.planeCount;
    std::size_t offset = kHeaderRegion;
    for (std::size_t p = 0; p < rule.usedPlanes; ++p) {
        CVPixelBufferPlaneLayout& plane = layout->planes[p];
        plane.width = planeWidthFor(rule.planes[p], width);
        plane.height = planeHeightFor(rule.planes[p], height);
        const std::size_t minimum = minimumBytesPerRow(rule.planes[p], plane.width);
        if (bytesPerRow == 0) {
            plane.bytesPerRow = roundUp(minimum, kRowAlignment);
        } else if (p == 0) {
            if (bytesPerRow < minimum || bytesPerRow > CVPixelBuffer::kMaximumBytesPerRow) {
                return kCVReturnInvalidArgument;
            }
            plane.bytesPerRow = bytesPerRow;
        } else {
            plane.bytesPerRow = std::max(bytesPerRow, minimum);
        }
        plane.offset = roundUp(offset, kRowAlignment);
        offset = plane.offset + plane.bytesPerRow * plane.height;
    }
    layout->mappedSize = offset;
    layout->bufferID = nextBufferID();
    return kCVReturnSuccess;
}

// Structural check of a layout that came from elsewhere: the planes must be what the format and size
// imply, with enough bytes per row, inside the mapping, after the header and not overlapping.
bool layoutIsConsistent(const CVPixelBufferLayout& layout) {
    FormatRule rule;
    if (checkSize(layout.width, layout.height, layout.pixelFormat, &rule) != kCVReturnSuccess) {
        return false;
    }
    if (layout.planeCount != rule.planeCount || layout.mappedSize < kHeaderRegion) {
        return false;
    }
    for (std::size_t p = 0; p < rule.usedPlanes; ++p) {
        const CVPixelBufferPlaneLayout& plane = layout.planes[p];
        if (plane.width != planeWidthFor(rule.planes[p], layout.width) ||
            plane.height != planeHeightFor(rule.planes[p], layout.height)) {
            return false;
        }
        if (plane.bytesPerRow < minimumBytesPerRow(rule.planes[p], plane.width) ||
            plane.bytesPerRow > CVPixelBuffer::kMaximumBytesPerRow) {
            return false;
        }
        const std::size_t bytes = plane.bytesPerRow * plane.height;
        if (plane.offset < kHeaderRegion || plane.offset > layout.mappedSize ||
            bytes > layout.mappedSize - plane.offset) {
            return false;
        }
    }
    if (rule.usedPlanes == 2) {
        const auto& a = layout.planes[0];
        const auto& b = layout.planes[1];
        const bool disjoint =
            a.offset + a.bytesPerRow * a.height <= b.offset || b.offset + b.bytesPerRow * b.height <= a.offset;
        if (!disjoint) {
            return false;
        }
    }
    return true;
}

void writeHeader(SharedHeader* header, const CVPixelBufferLayout& layout) {
    header->magic = kHeaderMagic;
    header->version = kHeaderVersion;
    header->pixelFormat = layout.pixelFormat;
    header->width = layout.width;
    header->height = layout.height;
    header->planeCount = layout.planeCount;
    for (std::size_t p = 0; p < 2; ++p) {
        header->planeOffset[p] = layout.planes[p].offset;
        header->planeBytesPerRow[p] = layout.planes[p].bytesPerRow;
        header->planeWidth[p] = layout.planes[p].width;
        header->planeHeight[p] = layout.planes[p].height;
    }
    header->mappedSize = layout.mappedSize;
    header->bufferID = layout.bufferID;
}

bool headerMatches(const SharedHeader& header, const CVPixelBufferLayout& layout) {
    SharedHeader expected{};
    writeHeader(&expected, layout);
    bool planesMatch = true;
    for (std::size_t p = 0; p < 2; ++p) {
        planesMatch = planesMatch && header.planeOffset[p] == expected.planeOffset[p] &&
                      header.planeBytesPerRow[p] == expected.planeBytesPerRow[p] &&
                      header.planeWidth[p] == expected.planeWidth[p] &&
                      header.planeHeight[p] == expected.planeHeight[p];
    }
    return planesMatch && header.magic == expected.magic && header.version == expected.version &&
           header.pixelFormat == expected.pixelFormat && header.width == expected.width &&
           header.height == expected.height && header.planeCount == expected.planeCount &&
           header.mappedSize == expected.mappedSize && header.bufferID == expected.bufferID;
}

}  // namespace

bool CVPixelBuffer::isSupportedPixelFormat(OSType pixelFormat) {
    FormatRule rule;
    return formatRule(pixelFormat, &rule);
}

CVReturn CVPixelBuffer::create(std::size_t width, std::size_t height, OSType pixelFormat,
                               std::shared_ptr<CVPixelBuffer>* out) {
    return createWithBytesPerRow(width, height, pixelFormat, 0, out);
}

CVReturn CVPixelBuffer::createWithBytesPerRow(std::size_t width, std::size_t height, OSType pixelFormat,
                                              std::size_t bytesPerRow, std::shared_ptr<CVPixelBuffer>* out) {
    if (out == nullptr) {
        return kCVReturnInvalidArgument;
    }
    out->reset();
    CVPixelBufferLayout layout;
    if (const CVReturn status = makeLayout(width, height, pixelFormat, bytesPerRow, &layout);
        status != kCVReturnSuccess) {
        return status;
    }

    const int fd = ::memfd_create("velunto-pixelbuffer", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
        return kCVReturnAllocationFailed;
    }
    if (::ftruncate(fd, static_cast<off_t>(layout.mappedSize)) != 0 ||
        ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        ::close(fd);
        return kCVReturnAllocationFailed;
    }
    void* mapping = ::mmap(nullptr, layout.mappedSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        ::close(fd);
        return kCVReturnAllocationFailed;
    }
    auto* header = static_cast<SharedHeader*>(mapping);
    writeHeader(header, layout);
    std::atomic_ref<std::uint32_t>(header->useCount).store(1, std::memory_order_release);
    out->reset(new CVPixelBuffer(fd, static_cast<std::uint8_t*>(mapping), layout));
    return kCVReturnSuccess;
}

CVReturn CVPixelBuffer::createFromSharedMemory(int fd, const CVPixelBufferLayout& layout,
                                               std::shared_ptr<CVPixelBuffer>* out) {
    if (out == nullptr) {
        return kCVReturnInvalidArgument;
    }
    out->reset();
    if (fd < 0) {
        return kCVReturnInvalidArgument;
    }
    if (!isSupportedPixelFormat(layout.pixelFormat)) {
        return kCVReturnInvalidPixelFormat;
    }
    if (!layoutIsConsistent(layout)) {
        return kCVReturnInvalidArgument;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0 ||
        static_cast<std::uint64_t>(status.st_size) < layout.mappedSize) {
        return kCVReturnInvalidArgument;
    }
    // Without this seal the owner could truncate the object under our mapping.
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals < 0 || (seals & F_SEAL_SHRINK) == 0) {
        return kCVReturnInvalidArgument;
    }
    const int ownFD = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (ownFD < 0) {
        return kCVReturnAllocationFailed;
    }
    void* mapping = ::mmap(nullptr, layout.mappedSize, PROT_READ | PROT_WRITE, MAP_SHARED, ownFD, 0);
    if (mapping == MAP_FAILED) {
        ::close(ownFD);
        return kCVReturnInvalidArgument;
    }
    auto* header = static_cast<SharedHeader*>(mapping);
    if (!headerMatches(*header, layout)) {
        ::munmap(mapping, layout.mappedSize);
        ::close(ownFD);
        return kCVReturnInvalidArgument;
    }
    std::atomic_ref<std::uint32_t>(header->useCount).fetch_add(1, std::memory_order_acq_rel);
    out->reset(new CVPixelBuffer(ownFD, static_cast<std::uint8_t*>(mapping), layout));
    return kCVReturnSuccess;
}

CVPixelBuffer::CVPixelBuffer(int fd, std::uint8_t* mapping, const CVPixelBufferLayout& layout)
    : fd_(fd), mapping_(mapping), layout_(layout) {}

CVPixelBuffer::~CVPixelBuffer() {
    std::atomic_ref<std::uint32_t>(useCountWord()).fetch_sub(1, std::memory_order_acq_rel);
    ::munmap(mapping_, layout_.mappedSize);
    ::close(fd_);
}

std::uint32_t& CVPixelBuffer::useCountWord() const {
    return reinterpret_cast<SharedHeader*>(mapping_)->useCount;
}

void CVPixelBuffer::relinquishSharedUses(std::uint32_t count) {
    std::atomic_ref<std::uint32_t> uses(useCountWord());
    std::uint32_t current = uses.load(std::memory_order_acquire);
    std::uint32_t next;
    do {
        next = current > count ? current - count : 1;
    } while (next != current && !uses.compare_exchange_weak(current, next, std::memory_order_acq_rel));
}

std::uint32_t CVPixelBuffer::sharedUseCount() const {
    return std::atomic_ref<std::uint32_t>(useCountWord()).load(std::memory_order_acquire);
}

void* CVPixelBuffer::baseAddressOfPlane(std::size_t plane) {
    return plane < usedPlanes() ? mapping_ + layout_.planes[plane].offset : nullptr;
}

const void* CVPixelBuffer::baseAddressOfPlane(std::size_t plane) const {
    return plane < usedPlanes() ? mapping_ + layout_.planes[plane].offset : nullptr;
}

std::size_t CVPixelBuffer::bytesPerRowOfPlane(std::size_t plane) const {
    return plane < usedPlanes() ? layout_.planes[plane].bytesPerRow : 0;
}

std::size_t CVPixelBuffer::widthOfPlane(std::size_t plane) const {
    return plane < usedPlanes() ? layout_.planes[plane].width : 0;
}

std::size_t CVPixelBuffer::heightOfPlane(std::size_t plane) const {
    return plane < usedPlanes() ? layout_.planes[plane].height : 0;
}

CVReturn CVPixelBuffer::lockBaseAddress(bool readOnly) {
    (readOnly ? readOnlyLocks_ : readWriteLocks_).fetch_add(1, std::memory_order_acq_rel);
    return kCVReturnSuccess;
}

CVReturn CVPixelBuffer::unlockBaseAddress(bool readOnly) {
    std::atomic<std::int32_t>& locks = readOnly ? readOnlyLocks_ : readWriteLocks_;
    std::int32_t current = locks.load(std::memory_order_acquire);
    do {
        if (current <= 0) {
            return kCVReturnError;
        }
    } while (!locks.compare_exchange_weak(current, current - 1, std::memory_order_acq_rel));
    return kCVReturnSuccess;
}

}  // namespace velunto
