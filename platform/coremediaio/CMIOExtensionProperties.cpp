#include "platform/coremediaio/CMIOExtensionProperties.h"

namespace velunto {

namespace {
constexpr std::string_view kPrefix = "4cc_";
constexpr std::string_view kSuffix = "_glob_0000";
}  // namespace

std::optional<UInt32> CMIOExtensionCustomPropertySelector(const std::string& name) {
    if (name.size() != kPrefix.size() + 4 + kSuffix.size() || !name.starts_with(kPrefix) || !name.ends_with(kSuffix))
        return std::nullopt;
    UInt32 selector = 0;
    for (std::size_t i = 0; i < 4; ++i)
        selector = (selector << 8) | static_cast<unsigned char>(name[kPrefix.size() + i]);
    return selector;
}

std::string CMIOExtensionCustomPropertyName(UInt32 selector) {
    std::string code(4, ' ');
    for (std::size_t i = 0; i < 4; ++i)
        code[i] = static_cast<char>((selector >> (24 - 8 * i)) & 0xFF);
    return std::string(kPrefix) + code + std::string(kSuffix);
}

}  // namespace velunto
