#pragma once

#include "platform/foundation/NSError.h"
#include "platform/oslog/Logger.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QNetworkAccessManager;

namespace velunto {

// Reads update feeds: file:// URLs on a background queue, http(s) with Qt Network on the calling
// (Qt main) thread, which needs the running application's event loop. The completion runs on the main
// queue with either the body or an error (SUAppcastError / SUInvalidFeedURLError, German text).
// Destroying the loader drops completions of network requests still running.
class SPUAppcastLoader {
public:
    using Completion = std::function<void(std::optional<std::string> body, std::optional<NSError> error)>;
    static constexpr std::chrono::seconds timeout{30};

    SPUAppcastLoader();
    ~SPUAppcastLoader();
    SPUAppcastLoader(const SPUAppcastLoader&) = delete;
    SPUAppcastLoader& operator=(const SPUAppcastLoader&) = delete;

    void load(const std::string& url, Completion completion);

    // Whether the URL is one load() can read.
    static bool isSupportedURL(const std::string& url);

private:
    void loadFile(const std::string& url, Completion completion);
    void loadNetwork(const std::string& url, Completion completion);

    std::unique_ptr<QNetworkAccessManager> network_;
    Logger logger_;
};

}  // namespace velunto
