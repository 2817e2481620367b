#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/appkit/NSURL.h"
#include "platform/oslog/Logger.h"

namespace velunto {

// Opens URLs with the desktop's handler.
class NSWorkspace {
public:
    static NSWorkspace& sharedWorkspace();

    // Hands the URL to `xdg-open` from PATH (started detached, not waited for) and returns true; without
    // xdg-open logs that it cannot open the URL and returns false.
    bool openURL(const NSURL& url);
    // Replaces the opener; an empty function restores xdg-open.
    void setOpener(std::function<bool(const NSURL&)> opener);

    // The first executable regular file called `name` in the directories of $PATH.
    static std::optional<std::filesystem::path> findOnPath(const std::string& name);

private:
    NSWorkspace();

    std::mutex mutex_;
    std::function<bool(const NSURL&)> opener_;
    Logger logger_;
};

}  // namespace velunto
