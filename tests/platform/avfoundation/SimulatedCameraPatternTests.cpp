#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/SimulatedCameraPattern.h"
#include "platform/videotoolbox/VTPixelTransferSession.h"

namespace velunto {
namespace {

std::shared_ptr<CVPixelBuffer> make(std::size_t width, std::size_t height, OSType format) {
    std::shared_ptr<CVPixelBuffer> buffer;
    EXPECT_EQ(CVPixelBuffer::create(width, height, format, &buffer), kCVReturnSuccess);
    return buffer;
}

// The frame converted (and scaled) into a BGRA frame of the given size.
std::shared_ptr<CVPixelBuffer> toBGRA(const CVPixelBuffer& source, std::size_t width, std::size_t height,
                                      bool letterbox = true) {
    std::shared_ptr<VTPixelTransferSession> session;
    EXPECT_EQ(VTPixelTransferSession::create(&session), 0);
    session->setScalingMode(letterbox ? kVTScalingMode_Letterbox : kVTScalingMode_Normal);
    auto destination = make(width, height, kCVPixelFormatType_32BGRA);
    EXPECT_EQ(session->transferImage(source, *destination), 0);
    return destination;
}

const std::uint8_t* pixel(const CVPixelBuffer& bgra, std::size_t x, std::size_t y) {
    return static_cast<const std::uint8_t*>(bgra.baseAddressOfPlane(0)) + y * bgra.bytesPerRowOfPlane(0) + 4 * x;
}

constexpr SimulatedCameraStamp kStamp{0xFEDC'BA98, 0x0123'4567'89AB'CDEF, false};

TEST(SimulatedCameraPattern, ReadsBackFromEveryFormatAfterConversion) {
    const SimulatedCameraStamp stamps[] = {kStamp, {0, 0, true}, {0xFFFF'FFFF, ~std::uint64_t{0}, false}};
    for (OSType format : {kCVPixelFormatType_32BGRA, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange,
                          kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, kCVPixelFormatType_422YpCbCr8_yuvs,
                          kCVPixelFormatType_422YpCbCr8}) {
        for (const auto& stamp : stamps) {
            const auto frame = make(1280, 720, format);
            SimulatedCameraPattern::paint(*frame, stamp);
            const auto bgra = toBGRA(*frame, 1280, 720);
            EXPECT_EQ(SimulatedCameraPattern::read(*bgra), std::optional(stamp)) << format;
        }
    }
}

TEST(SimulatedCameraPattern, SurvivesScalingAndLetterboxing) {
    // NV12 720p up into 1080p (1.5×), BGRA 1080p down into 720p (0.66×).
    const auto small = make(1280, 720, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
    SimulatedCameraPattern::paint(*small, kStamp);
    EXPECT_EQ(SimulatedCameraPattern::read(*toBGRA(*small, 1920, 1080)), std::optional(kStamp));
    const auto large = make(1920, 1080, kCVPixelFormatType_32BGRA);
    SimulatedCameraPattern::paint(*large, kStamp);
    EXPECT_EQ(SimulatedCameraPattern::read(*toBGRA(*large, 1280, 720)), std::optional(kStamp));

    // A 4:3 picture pillarboxed into 16:9 reads only where the picture is.
    const auto fourByThree = make(960, 720, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
    SimulatedCameraPattern::paint(*fourByThree, kStamp);
    const auto boxed = toBGRA(*fourByThree, 1280, 720);
    const auto rect = VTPixelTransferSession::destinationRect(960, 720, 1280, 720, true);
    EXPECT_EQ(SimulatedCameraPattern::read(*boxed, std::array{rect.x, rect.y, rect.width, rect.height}),
              std::optional(kStamp));
    EXPECT_FALSE(SimulatedCameraPattern::read(*boxed));
}

TEST(SimulatedCameraPattern, RejectsMisreads) {
    const auto frame = make(1280, 720, kCVPixelFormatType_32BGRA);
    SimulatedCameraPattern::paint(*frame, kStamp);
    ASSERT_EQ(SimulatedCameraPattern::read(*frame), std::optional(kStamp));

    // One block turned over: every block is clear, but the check code no longer matches.
    const auto flipped = make(1280, 720, kCVPixelFormatType_32BGRA);
    SimulatedCameraPattern::paint(*flipped, kStamp);
    const std::size_t x0 = 5 * 1280 / 16, x1 = 6 * 1280 / 16;  // column 5 of the first row: frame bit 5
    const std::size_t y0 = 432, y1 = 468;
    const std::uint8_t inverted = pixel(*flipped, x0 + 10, y0 + 10)[0] > 128 ? 0 : 255;
    for (std::size_t y = y0; y < y1; ++y)
        std::memset(const_cast<std::uint8_t*>(pixel(*flipped, x0, y)), inverted, 4 * (x1 - x0));
    EXPECT_FALSE(SimulatedCameraPattern::read(*flipped));

    // No pattern at all, a blurred block edge, the wrong format, a picture too small.
    const auto gray = make(1280, 720, kCVPixelFormatType_32BGRA);
    std::memset(gray->baseAddressOfPlane(0), 128, gray->bytesPerRowOfPlane(0) * 720);
    EXPECT_FALSE(SimulatedCameraPattern::read(*gray));
    const auto black = make(1280, 720, kCVPixelFormatType_32BGRA);
    EXPECT_FALSE(SimulatedCameraPattern::read(*black));
    EXPECT_FALSE(SimulatedCameraPattern::read(*frame, std::array<std::size_t, 4>{40, 0, 1240, 720}));
    const auto nv12 = make(1280, 720, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
    SimulatedCameraPattern::paint(*nv12, kStamp);
    EXPECT_FALSE(SimulatedCameraPattern::read(*nv12));
    EXPECT_FALSE(SimulatedCameraPattern::read(*frame, std::array<std::size_t, 4>{0, 0, 32, 18}));
}

TEST(SimulatedCameraPattern, TheBarMovesAndAFlashFrameIsWhite) {
    const auto first = make(640, 360, kCVPixelFormatType_32BGRA);
    const auto later = make(640, 360, kCVPixelFormatType_32BGRA);
    SimulatedCameraPattern::paint(*first, {0, 0, false});
    SimulatedCameraPattern::paint(*later, {16, 0, false});
    // The bar starts at the left edge and is a 16th of the width a step of a 64th per frame.
    EXPECT_NE(std::memcmp(pixel(*first, 5, 10), pixel(*later, 5, 10), 3), 0);
    EXPECT_NE(std::memcmp(pixel(*first, 165, 10), pixel(*later, 165, 10), 3), 0);
    EXPECT_EQ(std::memcmp(pixel(*first, 5, 10), pixel(*later, 165, 10), 4), 0);

    const auto flash = make(640, 360, kCVPixelFormatType_32BGRA);
    SimulatedCameraPattern::paint(*flash, {16, 0, true});
    for (std::size_t y = 0; y < 216; y += 7)
        for (std::size_t x = 0; x < 640; x += 13)
            ASSERT_EQ(pixel(*flash, x, y)[0] & pixel(*flash, x, y)[1] & pixel(*flash, x, y)[2], 255) << x << "," << y;
    EXPECT_TRUE(SimulatedCameraPattern::read(*flash)->flash);
}

}  // namespace
}  // namespace velunto
