#pragma once

#include <cstdint>

#include "platform/corefoundation/MacTypes.h"

namespace velunto {

using CVReturn = std::int32_t;

enum : CVReturn {
    kCVReturnSuccess = 0,
    kCVReturnError = -6660,
    kCVReturnInvalidArgument = -6661,
    kCVReturnAllocationFailed = -6662,
    kCVReturnInvalidPixelFormat = -6680,
    kCVReturnInvalidSize = -6681,
    kCVReturnPoolAllocationFailed = -6690,
};

enum : OSType {
    kCVPixelFormatType_32BGRA = 'BGRA',
    kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange = '420v',
    kCVPixelFormatType_420YpCbCr8BiPlanarFullRange = '420f',
    kCVPixelFormatType_422YpCbCr8_yuvs = 'yuvs',
    kCVPixelFormatType_422YpCbCr8 = '2vuy',
};

}  // namespace velunto
