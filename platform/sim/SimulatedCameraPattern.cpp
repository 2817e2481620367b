#include "platform/sim/SimulatedCameraPattern.h"

#include <algorithm>
#include <bitset>
#include <cmath>
#include <cstring>

#include "platform/corevideo/CVReturn.h"

namespace velunto {

namespace {

constexpr std::size_t kBits = SimulatedCameraPattern::kColumns * SimulatedCameraPattern::kRows;
constexpr std::size_t kFlashBit = 96;
constexpr std::size_t kCheckBit = 97;
constexpr std::uint32_t kCheckMask = 0x7FFF'FFFF;
// The blocks fill the picture's lower part: rows of a twentieth of its height from 60 % down.
constexpr double kCodeTop = 0.6;
constexpr double kRowHeight = 0.05;
constexpr int kBlackBelow = 80;
constexpr int kWhiteAbove = 176;

struct RGB {
    std::uint8_t r, g, b;
};
constexpr RGB kBlack{0, 0, 0};
constexpr RGB kWhite{255, 255, 255};
constexpr RGB kGround{48, 48, 56};
constexpr RGB kBar{255, 160, 0};

struct YCbCr {
    std::uint8_t y, cb, cr;
};

std::uint8_t clampByte(double value) {
    return static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

YCbCr toYCbCr(RGB c, bool fullRange) {
    const double r = c.r, g = c.g, b = c.b;
    if (fullRange)
        return {clampByte(0.299 * r + 0.587 * g + 0.114 * b), clampByte(128 - 0.168736 * r - 0.331264 * g + 0.5 * b),
                clampByte(128 + 0.5 * r - 0.418688 * g - 0.081312 * b)};
    return {clampByte(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255),
            clampByte(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255),
            clampByte(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255)};
}

std::uint8_t* row(CVPixelBuffer& frame, std::size_t plane, std::size_t y) {
    return static_cast<std::uint8_t*>(frame.baseAddressOfPlane(plane)) + y * frame.bytesPerRowOfPlane(plane);
}

// Fills [x0, x1) × [y0, y1), clipped to the frame. Subsampled formats round outwards to whole chroma
// samples; later rectangles overwrite the shared edge.
void fillRect(CVPixelBuffer& frame, std::size_t x0, std::size_t y0, std::size_t x1, std::size_t y1, RGB color) {
    x1 = std::min(x1, frame.width());
    y1 = std::min(y1, frame.height());
    if (x0 >= x1 || y0 >= y1)
        return;
    switch (frame.pixelFormatType()) {
        case kCVPixelFormatType_32BGRA: {
            const std::uint8_t pixel[4] = {color.b, color.g, color.r, 255};
            for (std::size_t y = y0; y < y1; ++y) {
                std::uint8_t* p = row(frame, 0, y) + 4 * x0;
                for (std::size_t x = x0; x < x1; ++x, p += 4)
                    std::memcpy(p, pixel, 4);
            }
            break;
        }
        case kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange:
        case kCVPixelFormatType_420YpCbCr8BiPlanarFullRange: {
            const auto c = toYCbCr(color, frame.pixelFormatType() == kCVPixelFormatType_420YpCbCr8BiPlanarFullRange);
            for (std::size_t y = y0; y < y1; ++y)
                std::memset(row(frame, 0, y) + x0, c.y, x1 - x0);
            const std::size_t cx1 = std::min((x1 + 1) / 2, frame.widthOfPlane(1));
            const std::size_t cy1 = std::min((y1 + 1) / 2, frame.heightOfPlane(1));
            for (std::size_t y = y0 / 2; y < cy1; ++y) {
                std::uint8_t* p = row(frame, 1, y);
                for (std::size_t x = x0 / 2; x < cx1; ++x) {
                    p[2 * x] = c.cb;
                    p[2 * x + 1] = c.cr;
                }
            }
            break;
        }
        case kCVPixelFormatType_422YpCbCr8_yuvs:
        case kCVPixelFormatType_422YpCbCr8: {
            const auto c = toYCbCr(color, false);
            const bool yuvs = frame.pixelFormatType() == kCVPixelFormatType_422YpCbCr8_yuvs;
            const std::uint8_t pair[4] = {yuvs ? c.y : c.cb, yuvs ? c.cb : c.y, yuvs ? c.y : c.cr, yuvs ? c.cr : c.y};
            const std::size_t pairs = (frame.width() + 1) / 2;
            for (std::size_t y = y0; y < y1; ++y) {
                std::uint8_t* p = row(frame, 0, y);
                for (std::size_t x = x0 / 2; x < std::min((x1 + 1) / 2, pairs); ++x)
                    std::memcpy(p + 4 * x, pair, 4);
            }
            break;
        }
        default:
            break;
    }
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0xFFFF'FFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB8'8320 & (0 - (crc & 1)));
    }
    return ~crc;
}

std::uint32_t checkCode(const SimulatedCameraStamp& stamp) {
    std::uint8_t bytes[13];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<std::uint8_t>(stamp.frameNumber >> (8 * i));
    for (int i = 0; i < 8; ++i)
        bytes[4 + i] = static_cast<std::uint8_t>(stamp.captureHostNanoseconds >> (8 * i));
    bytes[12] = stamp.flash ? 1 : 0;
    return crc32(bytes, sizeof bytes) & kCheckMask;
}

std::bitset<kBits> encode(const SimulatedCameraStamp& stamp) {
    std::bitset<kBits> bits;
    for (std::size_t i = 0; i < 32; ++i)
        bits[i] = (stamp.frameNumber >> i) & 1;
    for (std::size_t i = 0; i < 64; ++i)
        bits[32 + i] = (stamp.captureHostNanoseconds >> i) & 1;
    bits[kFlashBit] = stamp.flash;
    const std::uint32_t check = checkCode(stamp);
    for (std::size_t i = 0; i < 31; ++i)
        bits[kCheckBit + i] = (check >> i) & 1;
    return bits;
}

// A block's edges within a picture of the given size.
struct Cell {
    std::size_t x0, y0, x1, y1;
};
Cell cellAt(std::size_t column, std::size_t rowIndex, std::size_t width, std::size_t height) {
    const auto edgeX = [&](std::size_t c) { return c * width / SimulatedCameraPattern::kColumns; };
    const auto edgeY = [&](std::size_t r) {
        return static_cast<std::size_t>(
            std::lround((kCodeTop + kRowHeight * static_cast<double>(r)) * static_cast<double>(height)));
    };
    return {edgeX(column), edgeY(rowIndex), edgeX(column + 1), edgeY(rowIndex + 1)};
}

}  // namespace

void SimulatedCameraPattern::paint(CVPixelBuffer& frame, const SimulatedCameraStamp& stamp) {
    const std::size_t width = frame.width();
    const std::size_t height = frame.height();
    const std::size_t codeTop = cellAt(0, 0, width, height).y0;
    fillRect(frame, 0, 0, width, codeTop, stamp.flash ? kWhite : kGround);
    if (!stamp.flash) {
        const std::size_t barWidth = std::max<std::size_t>(width / 16, 2);
        const std::size_t step = std::max<std::size_t>(width / 64, 1);
        const std::size_t x = (std::size_t{stamp.frameNumber} * step) % width;
        fillRect(frame, x, 0, x + barWidth, codeTop, kBar);
        if (x + barWidth > width)
            fillRect(frame, 0, 0, x + barWidth - width, codeTop, kBar);
    }
    const auto bits = encode(stamp);
    for (std::size_t r = 0; r < kRows; ++r) {
        for (std::size_t c = 0; c < kColumns; ++c) {
            const Cell cell = cellAt(c, r, width, height);
            fillRect(frame, cell.x0, cell.y0, cell.x1, r + 1 == kRows ? height : cell.y1,
                     bits[r * kColumns + c] ? kWhite : kBlack);
        }
    }
}

std::optional<SimulatedCameraStamp> SimulatedCameraPattern::read(const CVPixelBuffer& bgra,
                                                                 std::optional<std::array<std::size_t, 4>> picture) {
    if (bgra.pixelFormatType() != kCVPixelFormatType_32BGRA)
        return std::nullopt;
    const auto [px, py, pw, ph] = picture.value_or(std::array<std::size_t, 4>{0, 0, bgra.width(), bgra.height()});
    if (pw < 4 * kColumns || ph < 10 * kRows || px + pw > bgra.width() || py + ph > bgra.height())
        return std::nullopt;
    const auto* base = static_cast<const std::uint8_t*>(bgra.baseAddressOfPlane(0));
    const std::size_t stride = bgra.bytesPerRowOfPlane(0);
    std::bitset<kBits> bits;
    for (std::size_t r = 0; r < kRows; ++r) {
        for (std::size_t c = 0; c < kColumns; ++c) {
            // The middle half of the block, away from edges that scaling and chroma blur.
            const Cell cell = cellAt(c, r, pw, ph);
            const std::size_t w = cell.x1 - cell.x0, h = cell.y1 - cell.y0;
            int darkest = 255, brightest = 0;
            std::uint64_t sum = 0, count = 0;
            for (std::size_t y = py + cell.y0 + h / 4; y < py + cell.y0 + h - h / 4; ++y) {
                const std::uint8_t* p = base + y * stride;
                for (std::size_t x = px + cell.x0 + w / 4; x < px + cell.x0 + w - w / 4; ++x) {
                    const std::uint8_t* pixel = p + 4 * x;
                    const int luma = (29 * pixel[0] + 150 * pixel[1] + 77 * pixel[2]) >> 8;
                    darkest = std::min(darkest, luma);
                    brightest = std::max(brightest, luma);
                    sum += static_cast<std::uint64_t>(luma);
                    ++count;
                }
            }
            if (count == 0)
                return std::nullopt;
            const auto mean = static_cast<int>(sum / count);
            const bool clear =
                (mean < kBlackBelow && brightest < kWhiteAbove) || (mean > kWhiteAbove && darkest > kBlackBelow);
            if (!clear)
                return std::nullopt;
            bits[r * kColumns + c] = mean > kWhiteAbove;
        }
    }
    SimulatedCameraStamp stamp{0, 0, bits[kFlashBit]};
    for (std::size_t i = 0; i < 32; ++i)
        stamp.frameNumber |= static_cast<std::uint32_t>(bits[i]) << i;
    for (std::size_t i = 0; i < 64; ++i)
        stamp.captureHostNanoseconds |= static_cast<std::uint64_t>(bits[32 + i]) << i;
    std::uint32_t check = 0;
    for (std::size_t i = 0; i < 31; ++i)
        check |= static_cast<std::uint32_t>(bits[kCheckBit + i]) << i;
    if (check != checkCode(stamp))
        return std::nullopt;
    return stamp;
}

}  // namespace velunto
