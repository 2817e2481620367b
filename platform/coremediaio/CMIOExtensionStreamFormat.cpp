#include "platform/coremediaio/CMIOExtensionStreamFormat.h"

namespace velunto {

std::shared_ptr<CMIOExtensionStreamFormat> CMIOExtensionStreamFormat::make(
    std::shared_ptr<const CMVideoFormatDescription> formatDescription, CMTime maxFrameDuration, CMTime minFrameDuration,
    std::vector<CMTime> validFrameDurations) {
    if (!formatDescription)
        return nullptr;
    return std::shared_ptr<CMIOExtensionStreamFormat>(new CMIOExtensionStreamFormat(
        std::move(formatDescription), maxFrameDuration, minFrameDuration, std::move(validFrameDurations)));
}

CMIOExtensionStreamFormat::CMIOExtensionStreamFormat(std::shared_ptr<const CMVideoFormatDescription> formatDescription,
                                                     CMTime maxFrameDuration, CMTime minFrameDuration,
                                                     std::vector<CMTime> validFrameDurations)
    : formatDescription_(std::move(formatDescription)),
      maxFrameDuration_(maxFrameDuration),
      minFrameDuration_(minFrameDuration),
      validFrameDurations_(std::move(validFrameDurations)) {}

}  // namespace velunto
