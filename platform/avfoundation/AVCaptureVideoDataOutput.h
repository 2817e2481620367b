#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/avfoundation/AVCaptureConnection.h"
#include "platform/avfoundation/AVCaptureDeliveryGate.h"
#include "platform/avfoundation/AVCaptureOutput.h"
#include "platform/avfoundation/AVCaptureVideoDataOutputSampleBufferDelegate.h"
#include "platform/coremedia/CMFormatDescription.h"
#include "platform/coremedia/CMSampleBuffer.h"
#include "platform/corevideo/CVPixelBufferPool.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/videotoolbox/VTPixelTransferSession.h"

namespace velunto {

inline constexpr const char* kCVPixelBufferPixelFormatTypeKey = "PixelFormatType";

// Hands a session's frames to a delegate on the delegate's queue.
class AVCaptureVideoDataOutput : public AVCaptureOutput, public std::enable_shared_from_this<AVCaptureVideoDataOutput> {
public:
    static constexpr std::size_t kMaximumPendingDropReports = 64;

    static std::shared_ptr<AVCaptureVideoDataOutput> make();

    // Only kCVPixelBufferPixelFormatTypeKey is understood: the pixel format frames are delivered in
    // (converted from the camera's own format when they differ; only 'BGRA' can be converted to, any
    // other format than the camera's own delivers the camera's). Empty: the camera's own format.
    void setVideoSettings(std::map<std::string, std::uint32_t> settings);
    std::map<std::string, std::uint32_t> videoSettings() const;
    void setAlwaysDiscardsLateVideoFrames(bool discard);  // default true
    bool alwaysDiscardsLateVideoFrames() const;
    // The delegate is held weakly; frames are delivered on `queue`.
    void setSampleBufferDelegate(std::weak_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> delegate,
                                 std::optional<DispatchQueue> queue);
    std::optional<DispatchQueue> sampleBufferCallbackQueue() const;

    // Session side. A new run forgets frames and drop reports still pending from an earlier one.
    void beginDelivery();
    // Called on the device's queue with each frame the connection carries.
    void deliverFrame(const std::shared_ptr<CVPixelBuffer>& frame, const CMSampleTimingInfo& timing,
                      const std::shared_ptr<AVCaptureConnection>& connection,
                      const std::shared_ptr<AVCaptureDeliveryGate>& gate);

private:
    AVCaptureVideoDataOutput() = default;

    std::shared_ptr<CVPixelBuffer> convert(const std::shared_ptr<CVPixelBuffer>& frame, OSType wanted);
    std::shared_ptr<const CMVideoFormatDescription> describe(const CVPixelBuffer& buffer);
    void reportDrop(const CMSampleTimingInfo& timing, const std::shared_ptr<AVCaptureConnection>& connection,
                    const std::shared_ptr<AVCaptureDeliveryGate>& gate, const DispatchQueue& queue);
    void handOver(const CMSampleBufferRef& sample, AVCaptureConnection& connection, AVCaptureDeliveryGate& gate,
                  std::uint64_t ticket);
    void reportDrops(AVCaptureConnection& connection, AVCaptureDeliveryGate& gate, std::uint64_t ticket);
    CMSampleBufferRef placeholderSample(const CMSampleTimingInfo& timing);

    mutable std::mutex mutex_;
    std::map<std::string, std::uint32_t> settings_;
    bool discardsLateFrames_ = true;
    std::weak_ptr<AVCaptureVideoDataOutputSampleBufferDelegate> delegate_;
    std::optional<DispatchQueue> queue_;
    std::uint64_t ticket_ = 0;  // changes with each run and each delegate change
    bool framePending_ = false;
    bool dropReportQueued_ = false;
    std::deque<CMSampleTimingInfo> droppedTimings_;

    // Used on the device's queue only.
    std::mutex conversionMutex_;
    std::shared_ptr<VTPixelTransferSession> transfer_;
    std::shared_ptr<CVPixelBufferPool> pool_;
    std::shared_ptr<const CMVideoFormatDescription> description_;

    std::shared_ptr<CVPixelBuffer> placeholder_;
    std::shared_ptr<const CMVideoFormatDescription> placeholderDescription_;
};

}  // namespace velunto
