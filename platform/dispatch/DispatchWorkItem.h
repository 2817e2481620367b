#pragma once

#include <atomic>
#include <functional>
#include <memory>

namespace velunto {

// A cancellable block. It stays valid (and can be performed again) after it ran.
class DispatchWorkItem {
public:
    static std::shared_ptr<DispatchWorkItem> make(std::function<void()> block);

    // Runs the block now unless cancelled.
    void perform();
    // Later executions return immediately; a running one is not interrupted.
    void cancel();
    bool isCancelled() const;

private:
    explicit DispatchWorkItem(std::function<void()> block);

    const std::function<void()> block_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace velunto
