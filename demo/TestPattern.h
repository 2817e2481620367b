#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/corevideo/CVPixelBuffer.h"

namespace velunto {

// A BGRA picture that names its frame: eight colour bars, a white bar that moves with the frame
// number, and the frame number and a time in the first four pixels. Every other pixel follows from
// the frame number, so a torn or mixed frame is caught.
class TestPattern {
public:
    static void paint(CVPixelBuffer& frame, std::uint64_t number, std::uint64_t stampedAt);
    static std::uint64_t number(const CVPixelBuffer& frame);
    static std::uint64_t stampedAt(const CVPixelBuffer& frame);
    // Every pixel but the first four matches the pattern of number(frame).
    static bool isWhole(const CVPixelBuffer& frame);

private:
    static std::uint32_t expected(std::uint64_t number, std::size_t width, std::size_t x);
};

}  // namespace velunto
