#pragma once

#include <memory>
#include <utility>

namespace velunto {

// Wraps f so that it holds owner weakly: the result locks the owner on each call and runs
// f(*owner, args...), or does nothing once the owner is gone.
//
//   queue.asyncAfter(deadline, weakly(shared_from_this(), [](Camera& camera) { camera.restart(); }));
//   level.sink(weakly(self, [](Meter& meter, const float& value) { meter.show(value); }));
template <class T, class F>
auto weakly(const std::shared_ptr<T>& owner, F f) {
    return [weak = std::weak_ptr<T>(owner), f = std::move(f)](auto&&... args) mutable {
        if (const auto locked = weak.lock())
            f(*locked, std::forward<decltype(args)>(args)...);
    };
}

}  // namespace velunto
