#pragma once

#include <functional>
#include <vector>

namespace velunto {

// Move-only subscription token: destroying it, or cancel(), unsubscribes.
class AnyCancellable {
public:
    AnyCancellable();
    explicit AnyCancellable(std::function<void()> cancel);
    ~AnyCancellable();
    AnyCancellable(AnyCancellable&& other) noexcept;
    AnyCancellable& operator=(AnyCancellable&& other) noexcept;
    AnyCancellable(const AnyCancellable&) = delete;
    AnyCancellable& operator=(const AnyCancellable&) = delete;

    // Idempotent.
    void cancel();
    // Moves the token into set, which then owns the subscription: `published.sink(...).store(tokens);`
    void store(std::vector<AnyCancellable>& set) &&;

private:
    std::function<void()> cancel_;
};

}  // namespace velunto
