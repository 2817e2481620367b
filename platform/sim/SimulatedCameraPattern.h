#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/corevideo/CVPixelBuffer.h"

namespace velunto {

struct SimulatedCameraStamp {
    std::uint32_t frameNumber;
    std::uint64_t captureHostNanoseconds;
    bool flash;

    bool operator==(const SimulatedCameraStamp&) const = default;
};

// The simulated cameras' picture: a bar that moves with the frame number over a dark ground (all
// white for a flash frame), and below it a 16 × 8 grid of black/white blocks carrying the stamp and
// a 31-bit check code. The blocks are a sixteenth of the picture wide and a twentieth high, so they
// survive chroma subsampling and scaling.
class SimulatedCameraPattern {
public:
    static constexpr std::size_t kColumns = 16;
    static constexpr std::size_t kRows = 8;

    static void paint(CVPixelBuffer& frame, const SimulatedCameraStamp& stamp);  // any supported format
    // Reads the stamp from a BGRA frame whose picture fills `picture` {x, y, width, height} (default:
    // the whole frame); none if any block is unclear or the check code does not match.
    static std::optional<SimulatedCameraStamp> read(const CVPixelBuffer& bgra,
                                                    std::optional<std::array<std::size_t, 4>> picture = std::nullopt);
};

}  // namespace velunto
