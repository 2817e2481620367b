#include "demo/TestPattern.h"

#include <array>
#include <cstring>

namespace velunto {

namespace {

constexpr std::array<std::uint32_t, 8> kBars = {0xFFC0C0C0, 0xFFC0C000, 0xFF00C0C0, 0xFF00C000,
                                                0xFFC000C0, 0xFFC00000, 0xFF0000C0, 0xFF101010};
constexpr std::size_t kStampWords = 4;

std::uint32_t* row(CVPixelBuffer& frame, std::size_t y) {
    return reinterpret_cast<std::uint32_t*>(static_cast<std::uint8_t*>(frame.baseAddressOfPlane(0)) +
                                            y * frame.bytesPerRow());
}

const std::uint32_t* row(const CVPixelBuffer& frame, std::size_t y) {
    return reinterpret_cast<const std::uint32_t*>(static_cast<const std::uint8_t*>(frame.baseAddressOfPlane(0)) +
                                                  y * frame.bytesPerRow());
}

}  // namespace

std::uint32_t TestPattern::expected(std::uint64_t number, std::size_t width, std::size_t x) {
    const std::size_t barWidth = width / 32 + 1;
    const std::size_t moving = static_cast<std::size_t>(number * 8) % width;
    if (x >= moving && x < moving + barWidth)
        return 0xFFFFFFFF;
    return kBars[x * kBars.size() / width];
}

void TestPattern::paint(CVPixelBuffer& frame, std::uint64_t number, std::uint64_t stampedAt) {
    const std::size_t width = frame.width();
    for (std::size_t x = 0; x < width; ++x)
        row(frame, 0)[x] = expected(number, width, x);
    for (std::size_t y = 1; y < frame.height(); ++y)
        std::memcpy(row(frame, y), row(frame, 0), width * 4);
    if (width >= kStampWords) {
        std::memcpy(row(frame, 0), &number, sizeof number);
        std::memcpy(row(frame, 0) + 2, &stampedAt, sizeof stampedAt);
    }
}

std::uint64_t TestPattern::number(const CVPixelBuffer& frame) {
    std::uint64_t value = 0;
    std::memcpy(&value, row(frame, 0), sizeof value);
    return value;
}

std::uint64_t TestPattern::stampedAt(const CVPixelBuffer& frame) {
    std::uint64_t value = 0;
    std::memcpy(&value, row(frame, 0) + 2, sizeof value);
    return value;
}

bool TestPattern::isWhole(const CVPixelBuffer& frame) {
    if (frame.pixelFormatType() != kCVPixelFormatType_32BGRA || frame.width() < kStampWords)
        return false;
    const std::uint64_t n = number(frame);
    const std::size_t width = frame.width();
    for (std::size_t y = 0; y < frame.height(); ++y)
        for (std::size_t x = y == 0 ? kStampWords : 0; x < width; ++x)
            if (row(frame, y)[x] != expected(n, width, x))
                return false;
    return true;
}

}  // namespace velunto
