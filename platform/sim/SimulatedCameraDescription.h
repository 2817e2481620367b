#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/avfoundation/AVCaptureDevice.h"
#include "platform/corefoundation/MacTypes.h"

namespace velunto {

struct SimulatedCameraDescription {
    std::string uniqueID;
    std::string name;
    AVCaptureDeviceType deviceType = AVCaptureDeviceTypeExternal;
    std::vector<std::pair<std::int32_t, std::int32_t>> sizes{{1280, 720}, {1920, 1080}};
    OSType pixelFormat = '420v';  // '420v' (NV12) or 'BGRA'; '420f', 'yuvs' and '2vuy' work too
    double framesPerSecond = 30;
    std::int64_t clockOffsetNanoseconds = 0;  // the camera's clock = host clock + offset
};

}  // namespace velunto
