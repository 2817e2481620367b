#include "platform/dispatch/DispatchWorkItem.h"

namespace velunto {

std::shared_ptr<DispatchWorkItem> DispatchWorkItem::make(std::function<void()> block) {
    return std::shared_ptr<DispatchWorkItem>(new DispatchWorkItem(std::move(block)));
}

DispatchWorkItem::DispatchWorkItem(std::function<void()> block) : block_(std::move(block)) {}

void DispatchWorkItem::perform() {
    if (!isCancelled() && block_)
        block_();
}

void DispatchWorkItem::cancel() {
    cancelled_.store(true, std::memory_order_release);
}

bool DispatchWorkItem::isCancelled() const {
    return cancelled_.load(std::memory_order_acquire);
}

}  // namespace velunto
