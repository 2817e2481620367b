#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

struct Notification {
    std::string name;
    const void* object = nullptr;  // the sender, compared by identity
};

// Delivers named notifications to observers, on the queue each observer asked for (or at once on
// the posting thread). An observer for a given object hears only that sender's notifications; one
// registered for no object hears every sender.
class NotificationCenter {
public:
    class Observer;
    using Token = std::shared_ptr<Observer>;

    static NotificationCenter& defaultCenter();

    Token addObserver(std::string name, const void* object, std::optional<DispatchQueue> queue,
                      std::function<void(const Notification&)> block);
    // A removed observer is not called again, even for a delivery already queued.
    void removeObserver(const Token& token);
    void post(const Notification& notification);

private:
    std::mutex mutex_;
    std::vector<Token> observers_;
};

}  // namespace velunto
