#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/corefoundation/MacTypes.h"
#include "platform/corevideo/CVPixelBuffer.h"

namespace velunto {

inline constexpr const char* kVTScalingMode_Normal = "Normal";        // stretch to fill
inline constexpr const char* kVTScalingMode_Letterbox = "Letterbox";  // whole picture fitted, black bars, centred

enum : OSStatus {
    kVTParameterErr = -12902,
    kVTPixelTransferNotSupportedErr = -12905,
};

// Where the picture lands in the destination.
struct VTPixelTransferRect {
    std::size_t x, y, width, height;
    bool operator==(const VTPixelTransferRect&) const = default;
};

// Converts and scales pixel buffers into BGRA. Not thread-safe: one session per thread. Scaling goes
// through scratch planes kept in the session; they grow with the largest transfer seen, never per frame.
class VTPixelTransferSession {
public:
    static OSStatus create(std::shared_ptr<VTPixelTransferSession>* out);

    // kVTScalingMode_Normal or kVTScalingMode_Letterbox; anything else is ignored.
    void setScalingMode(std::string_view mode);
    std::string_view scalingMode() const;

    // Converts and scales source into destination (destination 'BGRA'; sources 'BGRA', '420v',
    // '420f', 'yuvs', '2vuy'). Letterbox keeps the aspect ratio, centred, with opaque black bars.
    // 0, or kVTPixelTransferNotSupportedErr for an unsupported pair.
    OSStatus transferImage(const CVPixelBuffer& source, CVPixelBuffer& destination);
    // Same, kVTParameterErr for a null buffer.
    OSStatus transferImage(const CVPixelBuffer* source, CVPixelBuffer* destination);

    static bool supportsTransfer(OSType sourceFormat, OSType destinationFormat);
    // The picture's place in a destination of the given size under a scaling mode.
    static VTPixelTransferRect destinationRect(std::size_t sourceWidth, std::size_t sourceHeight,
                                               std::size_t destinationWidth, std::size_t destinationHeight,
                                               bool letterbox);

private:
    VTPixelTransferSession() = default;

    std::uint8_t* scratch(std::size_t bytes);
    void scaleBGRA(const CVPixelBuffer& source, std::uint8_t* target, std::size_t targetStride, std::size_t width,
                   std::size_t height);
    void scaleYUV(const CVPixelBuffer& source, std::uint8_t* target, std::size_t targetStride, std::size_t width,
                  std::size_t height);

    bool letterbox_ = false;
    std::vector<std::uint8_t> scratch_;
};

}  // namespace velunto
