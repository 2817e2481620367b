#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "camera-extension/CameraStreamSource.h"
#include "camera-extension/OutputFormat.h"
#include "platform/coremedia/CMSampleBuffer.h"
#include "platform/coremediaio/CMIOExtensionDevice.h"
#include "platform/coremediaio/CMIOExtensionDeviceSource.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSourceTimer.h"
#include "platform/v4l2/V4L2LoopbackOutput.h"
#include "platform/videotoolbox/VTPixelTransferSession.h"

namespace velunto {

// The virtual camera "Velunto Kamera": republishes every frame the application feeds into its sink
// stream on its source stream (letterboxed to the active size when the sizes differ), and keeps
// clients supplied with black frames while no real frame has come for 200 ms. Everything runs on
// the work queue it is given.
class CameraDeviceSource : public CMIOExtensionDeviceSource, public std::enable_shared_from_this<CameraDeviceSource> {
public:
    static constexpr const char* kDeviceName = "Velunto Kamera";
    static constexpr const char* kDeviceID = "5B1D3C9E-7A42-4E0F-9C63-2F8A1D0B6E71";
    static constexpr const char* kLegacyDeviceID = "app.velunto.camera";
    static constexpr const char* kModel = "Velunto Kamera";
    static constexpr const char* kSourceStreamName = "Velunto Kamera";
    static constexpr const char* kSourceStreamID = "0E7F4A26-91C3-4B58-8D1A-6C3E2F9B7D40";
    static constexpr const char* kSinkStreamName = "Velunto Kamera Einspeisung";
    static constexpr const char* kSinkStreamID = "A3C81F57-2D6B-4E94-B0F2-7918C4E5D263";
    // Whether any client watches the source stream: "1" or "0".
    static constexpr const char* kSourceActiveProperty = "4cc_vnsa_glob_0000";
    static constexpr std::uint64_t kFallbackAfterNanoseconds = 200'000'000;

    static std::shared_ptr<CameraDeviceSource> make(DispatchQueue queue);

    const std::shared_ptr<CMIOExtensionDevice>& device() const { return device_; }
    const std::shared_ptr<CameraStreamSource>& sourceStream() const { return sourceStream_; }
    const std::shared_ptr<CameraStreamSource>& sinkStream() const { return sinkStream_; }
    std::int64_t activeFormatIndex() const { return activeFormatIndex_; }
    std::int64_t sourceClientCount() const { return sourceClientCount_; }

    std::set<std::string> availableProperties() override;
    std::optional<CMIOExtensionDeviceProperties> devicePropertiesForProperties(const std::set<std::string>& properties,
                                                                               NSError* error) override;
    bool setDeviceProperties(const CMIOExtensionDeviceProperties& properties, NSError* error) override;

    // Called by the stream sources.
    void setActiveFormat(std::int64_t index, const CameraStreamSource& stream);
    void setSinkClient(const CMIOExtensionClient& client) { sinkClient_ = client; }
    void streamStarted(const CameraStreamSource& stream);
    void streamStopped(const CameraStreamSource& stream);

    // Also writes the picture into a v4l2loopback device, for programs that only know V4L2 cameras;
    // while its readers are counted, they count as one more client of the source stream. Without a
    // device (open fails) it says so once in the log and stays without.
    void attachLoopback(std::unique_ptr<V4L2LoopbackOutput> loopback);
    bool isLoopbackWatched() const { return loopbackWatched_; }

private:
    explicit CameraDeviceSource(DispatchQueue queue);
    void construct();
    void startSinkTimer();
    void startFallbackTimer();
    void pollSink();
    void relayFrame(std::uint64_t sequenceNumber, const CMSampleBufferRef& sampleBuffer);
    // A real frame, or none for the black one.
    void sendFrame(const std::shared_ptr<CVPixelBuffer>& buffer);
    void fallbackTick();
    void notifySourceActivity();
    void addSourceClient();
    void removeSourceClient();
    void pollLoopback();
    void writeToLoopback(const std::shared_ptr<CVPixelBuffer>& frame);

    const DispatchQueue queue_;
    std::shared_ptr<CMIOExtensionDevice> device_;
    std::shared_ptr<CameraStreamSource> sourceStream_;
    std::shared_ptr<CameraStreamSource> sinkStream_;
    std::vector<OutputFormat> formats_;
    std::int64_t activeFormatIndex_ = 0;
    std::int64_t sourceClientCount_ = 0;
    std::optional<CMIOExtensionClient> sinkClient_;
    std::shared_ptr<DispatchSourceTimer> sinkTimer_;
    std::shared_ptr<DispatchSourceTimer> fallbackTimer_;
    std::uint64_t lastFrameSentAt_ = 0;
    std::shared_ptr<VTPixelTransferSession> transferSession_;
    std::unique_ptr<V4L2LoopbackOutput> loopback_;
    std::shared_ptr<DispatchSourceTimer> loopbackTimer_;
    bool loopbackWatched_ = false;
};

}  // namespace velunto
