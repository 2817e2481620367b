#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/systemextensions/OSSystemExtensionRequestDelegate.h"

namespace velunto {

// Records what a request tells its delegate, and whether every call came on the expected queue.
class RecordingDelegate : public OSSystemExtensionRequestDelegate {
public:
    explicit RecordingDelegate(DispatchQueue queue,
                               OSSystemExtensionReplacementAction answer = OSSystemExtensionReplacementActionReplace)
        : queue_(std::move(queue)), answer_(answer) {}

    OSSystemExtensionReplacementAction actionForReplacingExtension(
        OSSystemExtensionRequest&, const OSSystemExtensionProperties& existing,
        const OSSystemExtensionProperties& replacement) override {
        record("replace?", [&] { questions.emplace_back(existing, replacement); });
        return answer_;
    }
    void requestNeedsUserApproval(OSSystemExtensionRequest&) override {
        record("approval", [] {});
    }
    void didFinishWithResult(OSSystemExtensionRequest&, OSSystemExtensionRequestResult value) override {
        record("finished", [&] { result = value; });
    }
    void didFailWithError(OSSystemExtensionRequest&, const NSError& value) override {
        record("failed", [&] { error = value; });
    }

    // Waits for didFinish or didFail (real-time tests).
    bool waitUntilDone(std::chrono::seconds limit = std::chrono::seconds(30)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return result.has_value() || error.has_value(); });
    }

    std::vector<std::string> events;
    std::vector<std::pair<OSSystemExtensionProperties, OSSystemExtensionProperties>> questions;
    std::optional<OSSystemExtensionRequestResult> result;
    std::optional<NSError> error;
    bool allOnQueue = true;

private:
    template <class F>
    void record(const std::string& event, F&& update) {
        std::lock_guard lock(mutex_);
        update();
        events.push_back(event);
        allOnQueue = allOnQueue && queue_.isCurrent();
        changed_.notify_all();
    }

    DispatchQueue queue_;
    OSSystemExtensionReplacementAction answer_;
    std::mutex mutex_;
    std::condition_variable changed_;
};

}  // namespace velunto
