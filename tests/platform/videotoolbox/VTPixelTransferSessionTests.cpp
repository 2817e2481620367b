#include "platform/videotoolbox/VTPixelTransferSession.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

namespace velunto {
namespace {

struct RGB {
    int r, g, b;
};
struct YUV {
    int y, u, v;
};

int clamp8(double value) {
    return std::clamp(static_cast<int>(std::lround(value)), 0, 255);
}

// BT.601, video range (Y 16-235, C 16-240) or full range, computed in floating point: the reference
// the fixed-point conversions are held to.
YUV toYUV(RGB c, bool fullRange) {
    const double y = 0.299 * c.r + 0.587 * c.g + 0.114 * c.b;
    const double cb = (c.b - y) / 1.772;
    const double cr = (c.r - y) / 1.402;
    if (fullRange) {
        return {clamp8(y), clamp8(128 + cb), clamp8(128 + cr)};
    }
    return {clamp8(16 + y * 219 / 255), clamp8(128 + cb * 224 / 255), clamp8(128 + cr * 224 / 255)};
}

RGB toRGB(YUV p, bool fullRange) {
    const double y = fullRange ? p.y : (p.y - 16) * 255.0 / 219;
    const double cb = fullRange ? p.u - 128 : (p.u - 128) * 255.0 / 224;
    const double cr = fullRange ? p.v - 128 : (p.v - 128) * 255.0 / 224;
    return {clamp8(y + 1.402 * cr), clamp8(y - 0.344136 * cb - 0.714136 * cr), clamp8(y + 1.772 * cb)};
}

bool isFullRange(OSType format) {
    return format == kCVPixelFormatType_420YpCbCr8BiPlanarFullRange;
}

bool isYUV(OSType format) {
    return format != kCVPixelFormatType_32BGRA;
}

using YUVAt = std::function<YUV(std::size_t x, std::size_t y)>;

std::shared_ptr<CVPixelBuffer> makeBuffer(std::size_t width, std::size_t height, OSType format,
                                          std::size_t bytesPerRow = 0) {
    std::shared_ptr<CVPixelBuffer> buffer;
    const CVReturn status = bytesPerRow == 0
                                ? CVPixelBuffer::create(width, height, format, &buffer)
                                : CVPixelBuffer::createWithBytesPerRow(width, height, format, bytesPerRow, &buffer);
    EXPECT_EQ(status, kCVReturnSuccess);
    // Row padding and anything unwritten start as garbage.
    for (std::size_t p = 0; p < std::max<std::size_t>(1, buffer->planeCount()); ++p) {
        std::memset(buffer->baseAddressOfPlane(p), 0x7F, buffer->bytesPerRowOfPlane(p) * buffer->heightOfPlane(p));
    }
    return buffer;
}

std::uint8_t* row(CVPixelBuffer& buffer, std::size_t plane, std::size_t y) {
    return static_cast<std::uint8_t*>(buffer.baseAddressOfPlane(plane)) + y * buffer.bytesPerRowOfPlane(plane);
}

// Luma per pixel; chroma taken at the top-left pixel of its 2x2 block (NV12) or pair (4:2:2).
void fillYUV(CVPixelBuffer& buffer, const YUVAt& at) {
    const std::size_t width = buffer.width();
    const std::size_t height = buffer.height();
    const OSType format = buffer.pixelFormatType();
    for (std::size_t y = 0; y < height; ++y) {
        if (buffer.planeCount() == 2) {
            for (std::size_t x = 0; x < width; ++x) {
                row(buffer, 0, y)[x] = static_cast<std::uint8_t>(at(x, y).y);
            }
            if (y % 2 == 0) {
                for (std::size_t x = 0; x < width; x += 2) {
                    const YUV chroma = at(x, y);
                    row(buffer, 1, y / 2)[x] = static_cast<std::uint8_t>(chroma.u);
                    row(buffer, 1, y / 2)[x + 1] = static_cast<std::uint8_t>(chroma.v);
                }
            }
            continue;
        }
        for (std::size_t x = 0; x < width; x += 2) {
            const YUV first = at(x, y);
            const std::uint8_t y0 = static_cast<std::uint8_t>(first.y);
            const std::uint8_t y1 = static_cast<std::uint8_t>(x + 1 < width ? at(x + 1, y).y : 0xEE);
            const std::uint8_t u = static_cast<std::uint8_t>(first.u);
            const std::uint8_t v = static_cast<std::uint8_t>(first.v);
            std::uint8_t* out = row(buffer, 0, y) + x * 2;
            if (format == kCVPixelFormatType_422YpCbCr8_yuvs) {
                out[0] = y0, out[1] = u, out[2] = y1, out[3] = v;
            } else {
                out[0] = u, out[1] = y0, out[2] = v, out[3] = y1;
            }
        }
    }
}

RGB expectedFromYUV(const YUVAt& at, std::size_t x, std::size_t y, bool fullRange) {
    const YUV chroma = at(x & ~std::size_t{1}, y & ~std::size_t{1});
    return toRGB({at(x, y).y, chroma.u, chroma.v}, fullRange);
}

// A source whose picture is the given colour field (constant over 2x2 blocks), in any format.
using ColourAt = std::function<RGB(std::size_t x, std::size_t y)>;

std::shared_ptr<CVPixelBuffer> makeSource(std::size_t width, std::size_t height, OSType format, const ColourAt& at,
                                          std::size_t bytesPerRow = 0) {
    auto buffer = makeBuffer(width, height, format, bytesPerRow);
    if (!isYUV(format)) {
        for (std::size_t y = 0; y < height; ++y) {
            for (std::size_t x = 0; x < width; ++x) {
                const RGB c = at(x, y);
                std::uint8_t* px = row(*buffer, 0, y) + x * 4;
                px[0] = static_cast<std::uint8_t>(c.b), px[1] = static_cast<std::uint8_t>(c.g);
                px[2] = static_cast<std::uint8_t>(c.r), px[3] = 255;
            }
        }
    } else {
        const bool full = isFullRange(format);
        fillYUV(*buffer, [&](std::size_t x, std::size_t y) { return toYUV(at(x, y), full); });
    }
    return buffer;
}

// What the converted colour should be: exact for BGRA, the float inverse of the quantised YUV otherwise.
RGB expectedColour(OSType format, RGB colour) {
    return isYUV(format) ? toRGB(toYUV(colour, isFullRange(format)), isFullRange(format)) : colour;
}

struct Pixel {
    int b, g, r, a;
};

Pixel pixelAt(CVPixelBuffer& buffer, std::size_t x, std::size_t y) {
    const std::uint8_t* px = row(buffer, 0, y) + x * 4;
    return {px[0], px[1], px[2], px[3]};
}

testing::AssertionResult near(Pixel p, RGB expected, int tolerance, std::size_t x = 0, std::size_t y = 0) {
    if (std::abs(p.r - expected.r) <= tolerance && std::abs(p.g - expected.g) <= tolerance &&
        std::abs(p.b - expected.b) <= tolerance && p.a == 255) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "at (" << x << "," << y << ") got BGRA " << p.b << "," << p.g << "," << p.r
                                       << "," << p.a << " expected RGB " << expected.r << "," << expected.g << ","
                                       << expected.b;
}

// Every destination pixel against the reference; reports the count and the first mismatch.
testing::AssertionResult matchesEverywhere(CVPixelBuffer& destination,
                                           const std::function<RGB(std::size_t, std::size_t)>& expected,
                                           int tolerance) {
    std::size_t bad = 0;
    testing::AssertionResult first = testing::AssertionSuccess();
    for (std::size_t y = 0; y < destination.height(); ++y) {
        for (std::size_t x = 0; x < destination.width(); ++x) {
            auto result = near(pixelAt(destination, x, y), expected(x, y), tolerance, x, y);
            if (!result && bad++ == 0) {
                first = result;
            }
        }
    }
    if (bad == 0) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << bad << " pixels off; first " << first.message();
}

const RGB kPatchColours[8] = {{255, 0, 0}, {0, 255, 0},     {0, 0, 255},   {255, 255, 255},
                              {0, 0, 0},   {128, 128, 128}, {255, 128, 0}, {100, 50, 200}};

// 4 x 2 patches of equal size (even, so chroma blocks never straddle two patches).
ColourAt patches(std::size_t width, std::size_t height) {
    return [=](std::size_t x, std::size_t y) { return kPatchColours[(y * 2 / height) * 4 + x * 4 / width]; };
}

std::shared_ptr<VTPixelTransferSession> makeSession(const char* mode = kVTScalingMode_Normal) {
    std::shared_ptr<VTPixelTransferSession> session;
    EXPECT_EQ(VTPixelTransferSession::create(&session), noErr);
    session->setScalingMode(mode);
    return session;
}

const OSType kSourceFormats[] = {kCVPixelFormatType_32BGRA, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange,
                                 kCVPixelFormatType_420YpCbCr8BiPlanarFullRange, kCVPixelFormatType_422YpCbCr8_yuvs,
                                 kCVPixelFormatType_422YpCbCr8};

std::string name(OSType format) {
    return {static_cast<char>(format >> 24), static_cast<char>(format >> 16), static_cast<char>(format >> 8),
            static_cast<char>(format)};
}

constexpr int kTolerance = 3;

TEST(VTPixelTransferSession, ColourPatchesConvertWithinTolerance) {
    auto session = makeSession();
    for (const OSType format : kSourceFormats) {
        SCOPED_TRACE(name(format));
        const ColourAt colours = patches(1280, 720);
        auto source = makeSource(1280, 720, format, colours);
        auto destination = makeBuffer(1280, 720, kCVPixelFormatType_32BGRA);
        ASSERT_EQ(session->transferImage(*source, *destination), noErr);
        EXPECT_TRUE(matchesEverywhere(
            *destination, [&](std::size_t x, std::size_t y) { return expectedColour(format, colours(x, y)); },
            kTolerance));
    }
}

TEST(VTPixelTransferSession, VideoAndFullRangeDiffer) {
    // Video and full range must not be confused: the same codes give clearly different colours.
    auto session = makeSession();
    const YUVAt whiteVideo = [](std::size_t, std::size_t) { return YUV{235, 128, 128}; };
    for (const OSType format :
         {kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange}) {
        auto source = makeBuffer(16, 16, format);
        fillYUV(*source, whiteVideo);
        auto destination = makeBuffer(16, 16, kCVPixelFormatType_32BGRA);
        ASSERT_EQ(session->transferImage(*source, *destination), noErr);
        const RGB expected = isFullRange(format) ? RGB{235, 235, 235} : RGB{255, 255, 255};
        EXPECT_TRUE(near(pixelAt(*destination, 5, 5), expected, kTolerance)) << name(format);
    }
}

TEST(VTPixelTransferSession, BGRAToBGRAOfTheSameSizeIsAnExactCopy) {
    auto source = makeBuffer(333, 77, kCVPixelFormatType_32BGRA, 333 * 4 + 20);
    auto destination = makeBuffer(333, 77, kCVPixelFormatType_32BGRA, 333 * 4 + 44);
    std::uint32_t state = 12345;
    for (std::size_t y = 0; y < source->height(); ++y) {
        for (std::size_t i = 0; i < 333 * 4; ++i) {
            state = state * 1664525u + 1013904223u;
            row(*source, 0, y)[i] = static_cast<std::uint8_t>(state >> 24);
        }
    }
    auto session = makeSession(kVTScalingMode_Letterbox);
    ASSERT_EQ(session->transferImage(*source, *destination), noErr);
    for (std::size_t y = 0; y < source->height(); ++y) {
        ASSERT_EQ(std::memcmp(row(*source, 0, y), row(*destination, 0, y), 333 * 4), 0) << "row " << y;
        for (std::size_t i = 333 * 4; i < destination->bytesPerRow(); ++i) {
            ASSERT_EQ(row(*destination, 0, y)[i], 0x7F) << "padding written in row " << y;
        }
    }
}

// Checks that bars are opaque black and that the picture area holds the quadrant colours.
void expectLetterbox(CVPixelBuffer& destination, const VTPixelTransferRect& picture, const RGB quadrant[4]) {
    std::size_t barPixels = 0;
    std::size_t badBars = 0;
    for (std::size_t y = 0; y < destination.height(); ++y) {
        for (std::size_t x = 0; x < destination.width(); ++x) {
            const bool inside =
                x >= picture.x && x < picture.x + picture.width && y >= picture.y && y < picture.y + picture.height;
            const Pixel p = pixelAt(destination, x, y);
            if (!inside) {
                ++barPixels;
                badBars += (p.b != 0 || p.g != 0 || p.r != 0 || p.a != 255) ? 1 : 0;
            } else if (p.a != 255) {
                ADD_FAILURE() << "picture pixel not written at " << x << "," << y;
                return;
            }
        }
    }
    EXPECT_EQ(badBars, 0u) << "of " << barPixels << " bar pixels";
    // Quadrant interiors, and the picture's first and last rows and columns.
    const std::size_t left = picture.x, right = picture.x + picture.width - 1;
    const std::size_t top = picture.y, bottom = picture.y + picture.height - 1;
    const std::size_t midX = picture.x + picture.width / 2, midY = picture.y + picture.height / 2;
    const std::size_t qx[2] = {picture.x + picture.width / 4, picture.x + picture.width * 3 / 4};
    const std::size_t qy[2] = {picture.y + picture.height / 4, picture.y + picture.height * 3 / 4};
    for (int q = 0; q < 4; ++q) {
        EXPECT_TRUE(near(pixelAt(destination, qx[q % 2], qy[q / 2]), quadrant[q], kTolerance));
    }
    EXPECT_TRUE(near(pixelAt(destination, left, qy[0]), quadrant[0], kTolerance, left, qy[0]));
    EXPECT_TRUE(near(pixelAt(destination, right, qy[0]), quadrant[1], kTolerance, right, qy[0]));
    EXPECT_TRUE(near(pixelAt(destination, qx[0], top), quadrant[0], kTolerance, qx[0], top));
    EXPECT_TRUE(near(pixelAt(destination, qx[1], bottom), quadrant[3], kTolerance, qx[1], bottom));
    EXPECT_TRUE(
        near(pixelAt(destination, midX - picture.width / 8, midY + picture.height / 8), quadrant[2], kTolerance));
}

ColourAt quadrants(std::size_t width, std::size_t height, const RGB colours[4]) {
    return [=](std::size_t x, std::size_t y) { return colours[(y * 2 / height) * 2 + x * 2 / width]; };
}

const RGB kQuadrants[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};

TEST(VTPixelTransferSessionLetterbox, SameAspectFillsTheWholeDestination) {
    auto session = makeSession(kVTScalingMode_Letterbox);
    auto source = makeSource(1920, 1080, kCVPixelFormatType_32BGRA, quadrants(1920, 1080, kQuadrants));
    auto destination = makeBuffer(1280, 720, kCVPixelFormatType_32BGRA);
    ASSERT_EQ(session->transferImage(*source, *destination), noErr);
    expectLetterbox(*destination, {0, 0, 1280, 720}, kQuadrants);
}

TEST(VTPixelTransferSessionLetterbox, NarrowerSourceGetsBarsLeftAndRight) {
    auto session = makeSession(kVTScalingMode_Letterbox);
    auto source = makeSource(640, 480, kCVPixelFormatType_32BGRA, quadrants(640, 480, kQuadrants));
    auto destination = makeBuffer(1280, 720, kCVPixelFormatType_32BGRA);
    ASSERT_EQ(session->transferImage(*source, *destination), noErr);
    expectLetterbox(*destination, {160, 0, 960, 720}, kQuadrants);
}

TEST(VTPixelTransferSessionLetterbox, WiderSourceGetsBarsAboveAndBelow) {
    auto session = makeSession(kVTScalingMode_Letterbox);
    for (const OSType format : kSourceFormats) {
        SCOPED_TRACE(name(format));
        RGB expected[4];
        for (int q = 0; q < 4; ++q) {
            expected[q] = expectedColour(format, kQuadrants[q]);
        }
        auto source = makeSource(1280, 720, format, quadrants(1280, 720, kQuadrants));
        auto destination = makeBuffer(720, 720, kCVPixelFormatType_32BGRA);
        ASSERT_EQ(session->transferImage(*source, *destination), noErr);
        expectLetterbox(*destination, {0, 157, 720, 405}, expected);
    }
}

TEST(VTPixelTransferSessionLetterbox, NormalModeStretches) {
    auto session = makeSession(kVTScalingMode_Letterbox);
    session->setScalingMode(kVTScalingMode_Normal);
    EXPECT_EQ(session->scalingMode(), kVTScalingMode_Normal);
    session->setScalingMode("Sideways");  // ignored
    EXPECT_EQ(session->scalingMode(), kVTScalingMode_Normal);
    auto source = makeSource(640, 480, kCVPixelFormatType_32BGRA, quadrants(640, 480, kQuadrants));
    auto destination = makeBuffer(1280, 720, kCVPixelFormatType_32BGRA);
    ASSERT_EQ(session->transferImage(*source, *destination), noErr);
    expectLetterbox(*destination, {0, 0, 1280, 720}, kQuadrants);
}

TEST(VTPixelTransferSessionLetterbox, DestinationRect) {
    using Rect = VTPixelTransferRect;
    EXPECT_EQ(VTPixelTransferSession::destinationRect(1920, 1080, 1280, 720, true), (Rect{0, 0, 1280, 720}));
    EXPECT_EQ(VTPixelTransferSession::destinationRect(640, 480, 1280, 720, true), (Rect{160, 0, 960, 720}));
    EXPECT_EQ(VTPixelTransferSession::destinationRect(1280, 720, 720, 720, true), (Rect{0, 157, 720, 405}));
    EXPECT_EQ(VTPixelTransferSession::destinationRect(1280, 720, 1920, 1080, true), (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(VTPixelTransferSession::destinationRect(4097, 3, 64, 64, true), (Rect{0, 31, 64, 1}));
    EXPECT_EQ(VTPixelTransferSession::destinationRect(3, 4097, 64, 64, true), (Rect{31, 0, 1, 64}));
    EXPECT_EQ(VTPixelTransferSession::destinationRect(640, 480, 1280, 720, false), (Rect{0, 0, 1280, 720}));
}

TEST(VTPixelTransferSession, UpscaledNV12KeepsItsPatches) {
    // The camera path: 1280x720 NV12 into a 1920x1080 BGRA frame.
    auto session = makeSession(kVTScalingMode_Letterbox);
    for (const OSType format :
         {kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, kCVPixelFormatType_420YpCbCr8BiPlanarFullRange}) {
        SCOPED_TRACE(name(format));
        auto source = makeSource(1280, 720, format, patches(1280, 720));
        auto destination = makeBuffer(1920, 1080, kCVPixelFormatType_32BGRA);
        ASSERT_EQ(session->transferImage(*source, *destination), noErr);
        for (std::size_t py = 0; py < 2; ++py) {
            for (std::size_t px = 0; px < 4; ++px) {
                const std::size_t x = px * 480 + 240, y = py * 540 + 270;
                EXPECT_TRUE(near(pixelAt(*destination, x, y), expectedColour(format, kPatchColours[py * 4 + px]),
                                 kTolerance, x, y));
            }
        }
    }
}

TEST(VTPixelTransferSession, OnePixelSources) {
    auto session = makeSession();
    const RGB colour{200, 100, 50};
    for (const OSType format : kSourceFormats) {
        SCOPED_TRACE(name(format));
        auto source = makeSource(1, 1, format, [&](std::size_t, std::size_t) { return colour; });
        const RGB expected = expectedColour(format, colour);
        auto same = makeBuffer(1, 1, kCVPixelFormatType_32BGRA);
        ASSERT_EQ(session->transferImage(*source, *same), noErr);
        EXPECT_TRUE(near(pixelAt(*same, 0, 0), expected, kTolerance));
        auto larger = makeBuffer(7, 5, kCVPixelFormatType_32BGRA);
        ASSERT_EQ(session->transferImage(*source, *larger), noErr);
        EXPECT_TRUE(matchesEverywhere(
            *larger, [&](std::size_t, std::size_t) { return expected; }, kTolerance));
    }
}

// Luma varying per pixel, chroma per block: every pixel of a wide, odd-sized picture is checked.
YUVAt texture(bool fullRange) {
    return [=](std::size_t x, std::size_t y) {
        const int low = fullRange ? 0 : 16;
        const int yRange = fullRange ? 256 : 220;
        const int cRange = fullRange ? 256 : 225;
        return YUV{low + static_cast<int>((x * 37 + y * 101) % static_cast<std::size_t>(yRange)),
                   low + static_cast<int>(((x / 2) * 53 + (y / 2) * 17) % static_cast<std::size_t>(cRange)),
                   low + static_cast<int>(((x / 2) * 29 + 90) % static_cast<std::size_t>(cRange))};
    };
}

TEST(VTPixelTransferSession, WideOddSizedSourcesConvertEveryPixel) {
    auto session = makeSession();
    for (const OSType format : kSourceFormats) {
        if (!isYUV(format)) {
            continue;
        }
        SCOPED_TRACE(name(format));
        const bool full = isFullRange(format);
        const YUVAt at = texture(full);
        auto source = makeBuffer(4097, 3, format);
        fillYUV(*source, at);
        auto destination = makeBuffer(4097, 3, kCVPixelFormatType_32BGRA);
        ASSERT_EQ(session->transferImage(*source, *destination), noErr);
        EXPECT_TRUE(matchesEverywhere(
            *destination, [&](std::size_t x, std::size_t y) { return expectedFromYUV(at, x, y, full); }, kTolerance));
    }
    // And scaled down with the picture fitted: a one-row-tall strip in the middle, black elsewhere.
    session->setScalingMode(kVTScalingMode_Letterbox);
    auto source = makeSource(4097, 3, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, [](std::size_t, std::size_t) {
        return RGB{0, 255, 0};
    });
    auto destination = makeBuffer(64, 64, kCVPixelFormatType_32BGRA);
    ASSERT_EQ(session->transferImage(*source, *destination), noErr);
    const RGB green = expectedColour(kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, {0, 255, 0});
    EXPECT_TRUE(matchesEverywhere(
        *destination,
        [&](std::size_t, std::size_t y) {
            return y == 31 ? green : RGB{0, 0, 0};
        },
        kTolerance));
}

TEST(VTPixelTransferSession, PaddedRowsOnBothSides) {
    auto session = makeSession();
    for (const OSType format : kSourceFormats) {
        SCOPED_TRACE(name(format));
        const bool full = isFullRange(format);
        const bool packed = format == kCVPixelFormatType_422YpCbCr8_yuvs || format == kCVPixelFormatType_422YpCbCr8;
        const std::size_t minimum = !isYUV(format) ? 37 * 4 : (packed ? 38 * 2 : 37);
        std::shared_ptr<CVPixelBuffer> source;
        std::function<RGB(std::size_t, std::size_t)> expected;
        const YUVAt at = texture(full);
        if (isYUV(format)) {
            source = makeBuffer(37, 11, format, minimum + 77);
            fillYUV(*source, at);
            expected = [&](std::size_t x, std::size_t y) { return expectedFromYUV(at, x, y, full); };
        } else {
            const ColourAt colours = [](std::size_t x, std::size_t y) {
                return RGB{static_cast<int>(x * 6), static_cast<int>(y * 20), 77};
            };
            source = makeSource(37, 11, format, colours, minimum + 77);
            expected = colours;
        }
        auto destination = makeBuffer(37, 11, kCVPixelFormatType_32BGRA, 37 * 4 + 36);
        ASSERT_EQ(session->transferImage(*source, *destination), noErr);
        EXPECT_TRUE(matchesEverywhere(*destination, expected, kTolerance));
        for (std::size_t y = 0; y < 11; ++y) {
            for (std::size_t i = 37 * 4; i < destination->bytesPerRow(); ++i) {
                ASSERT_EQ(row(*destination, 0, y)[i], 0x7F) << "padding written in row " << y;
            }
        }
    }
}

TEST(VTPixelTransferSession, UnsupportedPairsAndNullBuffers) {
    auto session = makeSession();
    auto bgra = makeSource(16, 16, kCVPixelFormatType_32BGRA, [](std::size_t, std::size_t) { return RGB{1, 2, 3}; });
    for (const OSType format : kSourceFormats) {
        if (!isYUV(format)) {
            continue;
        }
        SCOPED_TRACE(name(format));
        auto destination = makeBuffer(16, 16, format);
        EXPECT_EQ(session->transferImage(*bgra, *destination), kVTPixelTransferNotSupportedErr);
        EXPECT_EQ(row(*destination, 0, 0)[0], 0x7F);
        EXPECT_FALSE(VTPixelTransferSession::supportsTransfer(kCVPixelFormatType_32BGRA, format));
        EXPECT_TRUE(VTPixelTransferSession::supportsTransfer(format, kCVPixelFormatType_32BGRA));
    }
    auto destination = makeBuffer(16, 16, kCVPixelFormatType_32BGRA);
    EXPECT_EQ(session->transferImage(nullptr, destination.get()), kVTParameterErr);
    EXPECT_EQ(session->transferImage(bgra.get(), nullptr), kVTParameterErr);
    EXPECT_EQ(session->transferImage(bgra.get(), destination.get()), noErr);
    EXPECT_TRUE(near(pixelAt(*destination, 3, 3), {1, 2, 3}, 0));
}

}  // namespace
}  // namespace velunto
