#include "platform/avfoundation/AVCaptureVideoDataOutput.h"

#include "platform/oslog/Logger.h"

namespace velunto {

namespace {
const Logger logger("app.velunto.capture", "VideoDataOutput");
}

std::shared_ptr<AVCaptureVideoDataOutput> AVCaptureVideoDataOutput::make() {
    auto output = std::shared_ptr<AVCaptureVideoDataOutput>(new AVCaptureVideoDataOutput());
    // The image of every drop report, made once.
    if (CVPixelBuffer::create(2, 2, kCVPixelFormatType_32BGRA, &output->placeholder_) == kCVReturnSuccess)
        CMVideoFormatDescription::createForImageBuffer(*output->placeholder_, &output->placeholderDescription_);
    return output;
}

void AVCaptureVideoDataOutput::setVideoSettings(std::map<std::string, std::uint32_t> settings) {
    std::lock_guard lock(mutex_);
    settings_ = std::move(settings);
}

std::map<std::string, std::uint32_t> AVCaptureVideoDataOutput::videoSettings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

void AVCaptureVideoDataOutput::setAlwaysDiscardsLateVideoFrames(bool discard) {
    std::lock_guard lock(mutex_);
    discardsLateFrames_ = discard;
}

bool AVCaptureVideoDataOutput::alwaysDiscardsLateVideoFrames() const {
    std::lock_guard lock(mutex_);
    return discardsLateFrames_;
}

void AVCaptureVideoDataOutput::setSampleBufferDelegate(
    std::weak_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> delegate, std::optional<DispatchQueue> queue) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
    queue_ = std::move(queue);
    ++ticket_;
    framePending_ = false;
    dropReportQueued_ = false;
    droppedTimings_.clear();
}

std::optional<DispatchQueue> AVCaptureVideoDataOutput::sampleBufferCallbackQueue() const {
    std::lock_guard lock(mutex_);
    return queue_;
}

void AVCaptureVideoDataOutput::beginDelivery() {
    std::lock_guard lock(mutex_);
    ++ticket_;
    framePending_ = false;
    dropReportQueued_ = false;
    droppedTimings_.clear();
}

void AVCaptureVideoDataOutput::deliverFrame(const std::shared_ptr<CVPixelBuffer>& frame,
                                            const CMSampleTimingInfo& timing,
                                            const std::shared_ptr<AVCaptureConnection>& connection,
                                            const std::shared_ptr<AVCaptureDeliveryGate>& gate) {
    std::optional<DispatchQueue> queue;
    OSType wanted = 0;
    bool late = false;
    {
        std::lock_guard lock(mutex_);
        if (!queue_ || delegate_.expired())
            return;
        queue = queue_;
        if (const auto it = settings_.find(kCVPixelBufferPixelFormatTypeKey); it != settings_.end())
            wanted = it->second;
        late = discardsLateFrames_ && framePending_;
    }
    if (late) {
        reportDrop(timing, connection, gate, *queue);
        return;
    }
    std::shared_ptr<CVPixelBuffer> image;
    std::shared_ptr<const CMVideoFormatDescription> description;
    {
        std::lock_guard lock(conversionMutex_);
        image = convert(frame, wanted);
        if (image)
            description = describe(*image);
    }
    CMSampleBufferRef sample;
    if (!image || !description ||
        CMSampleBuffer::createReadyWithImageBuffer(image, description, timing, &sample) != 0) {
        reportDrop(timing, connection, gate, *queue);  // out of buffers: the delegate still holds them all
        return;
    }
    std::uint64_t ticket = 0;
    {
        std::lock_guard lock(mutex_);
        framePending_ = true;
        ticket = ticket_;
    }
    queue->async([self = shared_from_this(), sample, connection, gate, ticket] {
        self->handOver(sample, *connection, *gate, ticket);
    });
}

std::shared_ptr<CVPixelBuffer> AVCaptureVideoDataOutput::convert(const std::shared_ptr<CVPixelBuffer>& frame,
                                                                 OSType wanted) {
    if (wanted == 0 || wanted == frame->pixelFormatType())
        return frame;
    if (!VTPixelTransferSession::supportsTransfer(frame->pixelFormatType(), wanted)) {
        logger.debug("cannot deliver %u from %u; delivering the camera's format", wanted, frame->pixelFormatType());
        return frame;
    }
    if (!transfer_ && VTPixelTransferSession::create(&transfer_) != 0)
        return nullptr;
    const auto attributes = pool_ ? pool_->attributes() : CVPixelBufferPoolAttributes{0, 0, 0};
    if (!pool_ || attributes.pixelFormat != wanted || attributes.width != frame->width() ||
        attributes.height != frame->height()) {
        pool_.reset();
        if (CVPixelBufferPool::create({wanted, frame->width(), frame->height()}, &pool_) != kCVReturnSuccess)
            return nullptr;
    }
    std::shared_ptr<CVPixelBuffer> converted;
    if (pool_->createPixelBuffer(&converted) != kCVReturnSuccess)
        return nullptr;
    if (transfer_->transferImage(*frame, *converted) != 0)
        return nullptr;
    return converted;
}

std::shared_ptr<const CMVideoFormatDescription> AVCaptureVideoDataOutput::describe(const CVPixelBuffer& buffer) {
    if (!description_ || !description_->matchesImageBuffer(buffer)) {
        description_.reset();
        CMVideoFormatDescription::createForImageBuffer(buffer, &description_);
    }
    return description_;
}

void AVCaptureVideoDataOutput::reportDrop(const CMSampleTimingInfo& timing,
                                          const std::shared_ptr<AVCaptureConnection>& connection,
                                          const std::shared_ptr<AVCaptureDeliveryGate>& gate,
                                          const DispatchQueue& queue) {
    std::uint64_t ticket = 0;
    {
        std::lock_guard lock(mutex_);
        if (droppedTimings_.size() == kMaximumPendingDropReports)
            droppedTimings_.pop_front();
        droppedTimings_.push_back(timing);
        if (dropReportQueued_)
            return;
        dropReportQueued_ = true;
        ticket = ticket_;
    }
    queue.async(
        [self = shared_from_this(), connection, gate, ticket] { self->reportDrops(*connection, *gate, ticket); });
}

void AVCaptureVideoDataOutput::handOver(const CMSampleBufferRef& sample, AVCaptureConnection& connection,
                                        AVCaptureDeliveryGate& gate, std::uint64_t ticket) {
    std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> delegate;
    {
        std::lock_guard lock(mutex_);
        if (ticket != ticket_)
            return;
        framePending_ = false;
        delegate = delegate_.lock();
    }
    if (!delegate || !gate.enter())
        return;
    delegate->captureOutputDidOutputSampleBuffer(*this, sample, connection);
    gate.leave();
}

void AVCaptureVideoDataOutput::reportDrops(AVCaptureConnection& connection, AVCaptureDeliveryGate& gate,
                                           std::uint64_t ticket) {
    std::shared_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> delegate;
    std::deque<CMSampleTimingInfo> timings;
    {
        std::lock_guard lock(mutex_);
        if (ticket != ticket_)
            return;
        dropReportQueued_ = false;
        timings.swap(droppedTimings_);
        delegate = delegate_.lock();
    }
    if (!delegate || !gate.enter())
        return;
    for (const auto& timing : timings)
        if (auto sample = placeholderSample(timing))
            delegate->captureOutputDidDropSampleBuffer(*this, sample, connection);
    gate.leave();
}

CMSampleBufferRef AVCaptureVideoDataOutput::placeholderSample(const CMSampleTimingInfo& timing) {
    CMSampleBufferRef sample;
    CMSampleBuffer::createReadyWithImageBuffer(placeholder_, placeholderDescription_, timing, &sample);
    return sample;
}

}  // namespace velunto
