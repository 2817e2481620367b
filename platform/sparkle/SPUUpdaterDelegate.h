#pragma once

#include <optional>
#include <string>

namespace velunto {

class SPUUpdater;

class SPUUpdaterDelegate {
public:
    virtual ~SPUUpdaterDelegate() = default;
    // A feed URL that replaces the bundle's SUFeedURL; nullopt keeps the bundle's.
    virtual std::optional<std::string> feedURLStringForUpdater(const SPUUpdater&) const { return std::nullopt; }
};

}  // namespace velunto
