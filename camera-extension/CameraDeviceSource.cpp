#include "camera-extension/CameraDeviceSource.h"

#include <algorithm>
#include <chrono>

#include "platform/coremedia/CMTime.h"
#include "platform/dispatch/HostClock.h"
#include "platform/dispatch/Weakly.h"
#include "platform/foundation/FatalError.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& log() {
    static const Logger logger("app.velunto", "CameraExtension");
    return logger;
}

constexpr std::uint32_t kTransportTypeVirtual = 'virt';

std::shared_ptr<CMIOExtensionStreamFormat> streamFormat(const OutputFormat& format) {
    return CMIOExtensionStreamFormat::make(format.formatDescription, CMTimeMake(1, 30), CMTimeMake(1, 30), {});
}

}  // namespace

std::shared_ptr<CameraDeviceSource> CameraDeviceSource::make(DispatchQueue queue) {
    std::shared_ptr<CameraDeviceSource> source(new CameraDeviceSource(std::move(queue)));
    source->construct();
    return source;
}

CameraDeviceSource::CameraDeviceSource(DispatchQueue queue) : queue_(std::move(queue)) {
    formats_.reserve(2);
    formats_.emplace_back(1920, 1080);
    formats_.emplace_back(1280, 720);
}

void CameraDeviceSource::construct() {
    device_ = CMIOExtensionDevice::make(kDeviceName, kDeviceID, std::string(kLegacyDeviceID), shared_from_this());

    std::vector<std::shared_ptr<CMIOExtensionStreamFormat>> sourceFormats;
    for (const auto& format : formats_)
        sourceFormats.push_back(streamFormat(format));
    const OutputFormat sinkFormat(1920, 1080);

    sourceStream_ = std::make_shared<CameraStreamSource>(std::move(sourceFormats), weak_from_this(),
                                                         CMIOExtensionStreamDirection::source);
    sourceStream_->stream =
        CMIOExtensionStream::make(kSourceStreamName, kSourceStreamID, CMIOExtensionStreamDirection::source,
                                  CMIOExtensionStreamClockType::hostTime, sourceStream_);
    sinkStream_ = std::make_shared<CameraStreamSource>(
        std::vector<std::shared_ptr<CMIOExtensionStreamFormat>>{streamFormat(sinkFormat)}, weak_from_this(),
        CMIOExtensionStreamDirection::sink);
    sinkStream_->stream = CMIOExtensionStream::make(kSinkStreamName, kSinkStreamID, CMIOExtensionStreamDirection::sink,
                                                    CMIOExtensionStreamClockType::hostTime, sinkStream_);

    NSError error;
    if (!device_->addStream(sourceStream_->stream, &error) || !device_->addStream(sinkStream_->stream, &error))
        fatalError(("Kamera-Streams konnten nicht hinzugefügt werden: " + error.localizedDescription).c_str());

    const OSStatus status = VTPixelTransferSession::create(&transferSession_);
    if (status == 0 && transferSession_) {
        transferSession_->setScalingMode(kVTScalingMode_Letterbox);
    } else {
        transferSession_.reset();
        log().error("VTPixelTransferSessionCreate failed: %d", status);
    }
}

std::set<std::string> CameraDeviceSource::availableProperties() {
    return {CMIOExtensionPropertyDeviceTransportType, CMIOExtensionPropertyDeviceModel, kSourceActiveProperty};
}

std::optional<CMIOExtensionDeviceProperties> CameraDeviceSource::devicePropertiesForProperties(
    const std::set<std::string>& properties, NSError*) {
    CMIOExtensionDeviceProperties answer;
    if (properties.contains(CMIOExtensionPropertyDeviceTransportType))
        answer.transportType = kTransportTypeVirtual;
    if (properties.contains(CMIOExtensionPropertyDeviceModel))
        answer.model = kModel;
    if (properties.contains(kSourceActiveProperty))
        answer.propertiesDictionary[kSourceActiveProperty] =
            CMIOExtensionPropertyState{std::string(sourceClientCount_ >= 1 ? "1" : "0")};
    return answer;
}

bool CameraDeviceSource::setDeviceProperties(const CMIOExtensionDeviceProperties&, NSError*) {
    return true;
}

void CameraDeviceSource::setActiveFormat(std::int64_t index, const CameraStreamSource& stream) {
    // Compared unsigned, so that a negative index is refused too.
    if (&stream != sourceStream_.get() || static_cast<std::uint64_t>(index) >= formats_.size())
        return;
    activeFormatIndex_ = index;
}

void CameraDeviceSource::notifySourceActivity() {
    device_->notifyPropertiesChanged(
        {{kSourceActiveProperty, CMIOExtensionPropertyState{std::string(sourceClientCount_ >= 1 ? "1" : "0")}}});
}

void CameraDeviceSource::streamStarted(const CameraStreamSource& stream) {
    if (&stream == sinkStream_.get()) {
        startSinkTimer();
        log().notice("Sink-Stream gestartet.");
        return;
    }
    addSourceClient();
    log().notice("Source-Stream gestartet (%ld Clients).", static_cast<long>(sourceClientCount_));
}

void CameraDeviceSource::addSourceClient() {
    sourceClientCount_ += 1;
    if (sourceClientCount_ == 1) {
        startFallbackTimer();
        notifySourceActivity();
    }
}

void CameraDeviceSource::removeSourceClient() {
    sourceClientCount_ = std::max<std::int64_t>(0, sourceClientCount_ - 1);
    if (sourceClientCount_ < 1) {
        if (fallbackTimer_) {
            fallbackTimer_->cancel();
            fallbackTimer_.reset();
        }
        notifySourceActivity();
    }
}

void CameraDeviceSource::streamStopped(const CameraStreamSource& stream) {
    if (&stream == sinkStream_.get()) {
        if (sinkTimer_) {
            sinkTimer_->cancel();
            sinkTimer_.reset();
        }
        sinkClient_.reset();
        log().notice("Sink-Stream gestoppt.");
        return;
    }
    removeSourceClient();
    log().notice("Source-Stream gestoppt (%ld Clients).", static_cast<long>(sourceClientCount_));
}

void CameraDeviceSource::startSinkTimer() {
    if (sinkTimer_)
        sinkTimer_->cancel();
    sinkTimer_ = DispatchSourceTimer::make(queue_);
    sinkTimer_->schedule(DispatchTime::now(), std::chrono::milliseconds(5), std::chrono::milliseconds(1));
    sinkTimer_->setEventHandler(weakly(shared_from_this(), [](CameraDeviceSource& self) { self.pollSink(); }));
    sinkTimer_->resume();
}

void CameraDeviceSource::startFallbackTimer() {
    if (fallbackTimer_)
        fallbackTimer_->cancel();
    fallbackTimer_ = DispatchSourceTimer::make(queue_);
    fallbackTimer_->schedule(DispatchTime::now(), std::chrono::milliseconds(33), std::chrono::milliseconds(2));
    fallbackTimer_->setEventHandler(weakly(shared_from_this(), [](CameraDeviceSource& self) { self.fallbackTick(); }));
    fallbackTimer_->resume();
}

void CameraDeviceSource::pollSink() {
    if (!sinkClient_)
        return;
    sinkStream_->stream->consumeSampleBufferFromClient(
        *sinkClient_,
        [weak = weak_from_this(), queue = queue_](CMSampleBufferRef sampleBuffer, std::uint64_t sequenceNumber,
                                                  std::uint32_t, bool, std::optional<NSError> error) {
            if (!sampleBuffer || error)
                return;
            queue.async([weak, sequenceNumber, sampleBuffer = std::move(sampleBuffer)] {
                if (const auto self = weak.lock())
                    self->relayFrame(sequenceNumber, sampleBuffer);
            });
        });
}

void CameraDeviceSource::relayFrame(std::uint64_t sequenceNumber, const CMSampleBufferRef& sampleBuffer) {
    const std::uint64_t now = HostClock::nowNanoseconds();
    sinkStream_->stream->notifyScheduledOutputChanged(CMIOExtensionScheduledOutput{sequenceNumber, now});
    if (const auto& image = sampleBuffer->imageBuffer())
        sendFrame(image);
}

void CameraDeviceSource::sendFrame(const std::shared_ptr<CVPixelBuffer>& buffer) {
    if (sourceClientCount_ <= 0)
        return;
    OutputFormat& format = formats_[static_cast<std::size_t>(activeFormatIndex_)];
    std::shared_ptr<CVPixelBuffer> frame;
    if (!buffer) {
        frame = format.blackPixelBuffer;
        if (!frame)
            return;
    } else {
        // The source stream promises BGRA: a frame of the right size in another layout is converted too.
        if (buffer->width() == format.width && buffer->height() == format.height &&
            buffer->pixelFormatType() == kCVPixelFormatType_32BGRA) {
            frame = buffer;
        } else {
            if (!transferSession_ || !format.pool)
                return;
            if (format.pool->createPixelBuffer(&frame) != kCVReturnSuccess || !frame)
                return;
            const OSStatus status = transferSession_->transferImage(*buffer, *frame);
            if (status != 0) {
                log().error("VTPixelTransferSessionTransferImage failed: %d", status);
                return;
            }
        }
        lastFrameSentAt_ = HostClock::nowNanoseconds();
    }

    const std::uint64_t sendTime = HostClock::nowNanoseconds();
    const CMSampleTimingInfo timing{CMTimeMake(1, 30), CMTimeMake(static_cast<std::int64_t>(sendTime), 1'000'000'000),
                                    kCMTimeInvalid};
    std::shared_ptr<const CMVideoFormatDescription> description = format.formatDescription;
    if (!description || !description->matchesImageBuffer(*frame))
        if (CMVideoFormatDescription::createForImageBuffer(*frame, &description) != 0 || !description)
            return;
    CMSampleBufferRef sampleBuffer;
    const OSStatus status = CMSampleBuffer::createReadyWithImageBuffer(frame, description, timing, &sampleBuffer);
    if (status != 0 || !sampleBuffer) {
        log().error("CMSampleBufferCreateReadyWithImageBuffer failed: %d", status);
        return;
    }
    sourceStream_->stream->sendSampleBuffer(sampleBuffer, 0, sendTime);
    writeToLoopback(frame);
}

void CameraDeviceSource::attachLoopback(std::unique_ptr<V4L2LoopbackOutput> loopback) {
    const OutputFormat& largest = formats_.front();
    std::string reason;
    if (!loopback || !loopback->open(static_cast<std::int32_t>(largest.width),
                                     static_cast<std::int32_t>(largest.height), 30, &reason)) {
        log().notice(
            "Kein v4l2loopback-Gerät (%{public}s); Velunto Kamera sehen nur Programme, die sie direkt "
            "fragen.",
            reason);
        return;
    }
    log().notice("Velunto Kamera schreibt auch nach %{public}s (%{public}s).", loopback->devicePath(),
                 loopback->card());
    if (!loopback->supportsReaderCount())
        log().notice(
            "v4l2loopback meldet nicht, wer zusieht; dort erscheint das Bild, solange ein anderer "
            "Client zusieht.");
    loopback_ = std::move(loopback);
    loopbackTimer_ = DispatchSourceTimer::make(queue_);
    loopbackTimer_->schedule(DispatchTime::now(), std::chrono::milliseconds(250), std::chrono::milliseconds(20));
    loopbackTimer_->setEventHandler(weakly(shared_from_this(), [](CameraDeviceSource& self) { self.pollLoopback(); }));
    loopbackTimer_->resume();
}

void CameraDeviceSource::pollLoopback() {
    const bool open = loopback_ && loopback_->isOpen();
    const bool watched = open && loopback_->readerCount().value_or(0) > 0;
    if (watched != loopbackWatched_) {
        loopbackWatched_ = watched;
        if (watched)
            addSourceClient();
        else
            removeSourceClient();
        log().notice("v4l2loopback: %{public}s", watched ? "jemand sieht zu" : "niemand sieht mehr zu");
    }
    if (!open && loopbackTimer_) {
        log().error("Das v4l2loopback-Gerät ist fort.");
        loopbackTimer_->cancel();
        loopbackTimer_.reset();
        loopback_.reset();
    }
}

void CameraDeviceSource::writeToLoopback(const std::shared_ptr<CVPixelBuffer>& frame) {
    if (!loopback_ || !loopback_->isOpen())
        return;
    const auto [width, height] = loopback_->size();
    if (frame->width() == width && frame->height() == height) {
        loopback_->write(*frame);
        return;
    }
    // A smaller active format: letterboxed into the device's size.
    const OutputFormat& largest = formats_.front();
    std::shared_ptr<CVPixelBuffer> scaled;
    if (!transferSession_ || !largest.pool || largest.pool->createPixelBuffer(&scaled) != kCVReturnSuccess || !scaled)
        return;
    if (transferSession_->transferImage(*frame, *scaled) == 0)
        loopback_->write(*scaled);
}

void CameraDeviceSource::fallbackTick() {
    if (HostClock::nowNanoseconds() > lastFrameSentAt_ + kFallbackAfterNanoseconds)
        sendFrame(nullptr);
}

}  // namespace velunto
