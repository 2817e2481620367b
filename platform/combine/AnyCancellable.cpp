#include "platform/combine/AnyCancellable.h"

#include <utility>

namespace velunto {

AnyCancellable::AnyCancellable() = default;

AnyCancellable::AnyCancellable(std::function<void()> cancel) : cancel_(std::move(cancel)) {}

AnyCancellable::~AnyCancellable() {
    cancel();
}

AnyCancellable::AnyCancellable(AnyCancellable&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}

AnyCancellable& AnyCancellable::operator=(AnyCancellable&& other) noexcept {
    if (this != &other) {
        cancel();
        cancel_ = std::exchange(other.cancel_, nullptr);
    }
    return *this;
}

void AnyCancellable::cancel() {
    if (auto cancel = std::exchange(cancel_, nullptr))
        cancel();
}

void AnyCancellable::store(std::vector<AnyCancellable>& set) && {
    set.push_back(std::move(*this));
}

}  // namespace velunto
