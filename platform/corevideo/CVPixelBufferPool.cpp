#include "platform/corevideo/CVPixelBufferPool.h"

#include <deque>
#include <mutex>

namespace velunto {

struct CVPixelBufferPool::Storage {
    struct Slot {
        std::shared_ptr<CVPixelBuffer> buffer;  // the pool's own handle
        bool lent = false;                      // a handle given out still exists in this process
    };

    mutable std::mutex mutex;
    std::deque<Slot> slots;  // a deque: handles given out point into their slot, which must not move
    std::size_t maximumBufferCount = kDefaultMaximumBufferCount;
};

namespace {

// Deleter of the handles given out: marks the slot free. Holds the storage, so the buffer outlives
// the pool if need be.
struct ReturnToPool {
    std::shared_ptr<void> storage;
    std::mutex* mutex;
    bool* lent;

    void operator()(CVPixelBuffer*) const {
        std::lock_guard lock(*mutex);
        *lent = false;
    }
};

}  // namespace

CVReturn CVPixelBufferPool::create(const CVPixelBufferPoolAttributes& attributes,
                                   std::shared_ptr<CVPixelBufferPool>* out) {
    if (out == nullptr) {
        return kCVReturnInvalidArgument;
    }
    out->reset();
    if (!CVPixelBuffer::isSupportedPixelFormat(attributes.pixelFormat)) {
        return kCVReturnInvalidPixelFormat;
    }
    if (attributes.width == 0 || attributes.height == 0 || attributes.width > CVPixelBuffer::kMaximumDimension ||
        attributes.height > CVPixelBuffer::kMaximumDimension) {
        return kCVReturnInvalidSize;
    }
    out->reset(new CVPixelBufferPool(attributes));
    return kCVReturnSuccess;
}

CVPixelBufferPool::CVPixelBufferPool(const CVPixelBufferPoolAttributes& attributes)
    : attributes_(attributes), storage_(std::make_shared<Storage>()) {}

CVReturn CVPixelBufferPool::createPixelBuffer(std::shared_ptr<CVPixelBuffer>* out) {
    if (out == nullptr) {
        return kCVReturnInvalidArgument;
    }
    out->reset();
    std::lock_guard lock(storage_->mutex);
    Storage::Slot* chosen = nullptr;
    for (Storage::Slot& slot : storage_->slots) {
        if (!slot.lent && slot.buffer->sharedUseCount() == 1) {
            chosen = &slot;
            break;
        }
    }
    if (chosen == nullptr) {
        if (storage_->slots.size() >= storage_->maximumBufferCount) {
            return kCVReturnPoolAllocationFailed;
        }
        std::shared_ptr<CVPixelBuffer> buffer;
        const CVReturn status =
            CVPixelBuffer::create(attributes_.width, attributes_.height, attributes_.pixelFormat, &buffer);
        if (status != kCVReturnSuccess) {
            return status;
        }
        storage_->slots.push_back({std::move(buffer), false});
        chosen = &storage_->slots.back();
    }
    chosen->lent = true;
    *out =
        std::shared_ptr<CVPixelBuffer>(chosen->buffer.get(), ReturnToPool{storage_, &storage_->mutex, &chosen->lent});
    return kCVReturnSuccess;
}

std::size_t CVPixelBufferPool::bufferCount() const {
    std::lock_guard lock(storage_->mutex);
    return storage_->slots.size();
}

std::size_t CVPixelBufferPool::buffersInUse() const {
    std::lock_guard lock(storage_->mutex);
    std::size_t inUse = 0;
    for (const Storage::Slot& slot : storage_->slots) {
        inUse += (slot.lent || slot.buffer->sharedUseCount() != 1) ? 1 : 0;
    }
    return inUse;
}

void CVPixelBufferPool::setMaximumBufferCount(std::size_t n) {
    std::lock_guard lock(storage_->mutex);
    storage_->maximumBufferCount = n;
}

std::size_t CVPixelBufferPool::maximumBufferCount() const {
    std::lock_guard lock(storage_->mutex);
    return storage_->maximumBufferCount;
}

}  // namespace velunto
