#include "platform/foundation/NotificationCenter.h"

#include <algorithm>
#include <atomic>

namespace velunto {

class NotificationCenter::Observer {
public:
    std::string name;
    const void* object = nullptr;
    std::optional<DispatchQueue> queue;
    std::function<void(const Notification&)> block;
    std::atomic<bool> active{true};
};

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* center = new NotificationCenter();  // outlives every queue that delivers for it
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const void* object,
                                                          std::optional<DispatchQueue> queue,
                                                          std::function<void(const Notification&)> block) {
    auto observer = std::make_shared<Observer>();
    observer->name = std::move(name);
    observer->object = object;
    observer->queue = std::move(queue);
    observer->block = std::move(block);
    std::lock_guard lock(mutex_);
    observers_.push_back(observer);
    return observer;
}

void NotificationCenter::removeObserver(const Token& token) {
    if (!token)
        return;
    token->active.store(false, std::memory_order_release);
    std::lock_guard lock(mutex_);
    std::erase(observers_, token);
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<Token> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& observer : observers_)
            if (observer->name == notification.name && (!observer->object || observer->object == notification.object))
                matching.push_back(observer);
    }
    for (const auto& observer : matching) {
        auto deliver = [observer, notification] {
            if (observer->active.load(std::memory_order_acquire))
                observer->block(notification);
        };
        if (observer->queue)
            observer->queue->async(std::move(deliver));
        else
            deliver();
    }
}

}  // namespace velunto
