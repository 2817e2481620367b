#pragma once

#include <memory>
#include <vector>

#include "platform/coremedia/CMFormatDescription.h"
#include "platform/coremedia/CMTime.h"

namespace velunto {

// One format a stream offers: its description and the frame durations it supports.
class CMIOExtensionStreamFormat {
public:
    // Null without a format description.
    static std::shared_ptr<CMIOExtensionStreamFormat> make(
        std::shared_ptr<const CMVideoFormatDescription> formatDescription, CMTime maxFrameDuration,
        CMTime minFrameDuration, std::vector<CMTime> validFrameDurations);

    const std::shared_ptr<const CMVideoFormatDescription>& formatDescription() const { return formatDescription_; }
    CMTime maxFrameDuration() const { return maxFrameDuration_; }
    CMTime minFrameDuration() const { return minFrameDuration_; }
    const std::vector<CMTime>& validFrameDurations() const { return validFrameDurations_; }

private:
    CMIOExtensionStreamFormat(std::shared_ptr<const CMVideoFormatDescription> formatDescription,
                              CMTime maxFrameDuration, CMTime minFrameDuration,
                              std::vector<CMTime> validFrameDurations);

    std::shared_ptr<const CMVideoFormatDescription> formatDescription_;
    CMTime maxFrameDuration_;
    CMTime minFrameDuration_;
    std::vector<CMTime> validFrameDurations_;
};

}  // namespace velunto
