#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/coremedia/CMSimpleQueue.h"
#include "platform/coremediaio/CMIOHardware.h"
#include "platform/corevideo/CVPixelBuffer.h"

namespace velunto {

// A video application watching a camera the way call apps do: finds it by name, picks one of its
// formats, starts its source stream and takes every frame that arrives. Thread-safe; frames arrive
// on the media runtime's thread.
class CameraViewer {
public:
    struct Frame {
        std::uint64_t at;           // host clock when it arrived, ns
        std::uint64_t presentedAt;  // its presentation time (the sender's host clock), ns
        std::size_t width;
        std::size_t height;
        std::uint32_t centre;  // the BGRA word at the picture's centre
    };
    using FrameHandler = std::function<void(const CVPixelBuffer&)>;

    CameraViewer();
    ~CameraViewer();  // closes
    CameraViewer(const CameraViewer&) = delete;
    CameraViewer& operator=(const CameraViewer&) = delete;

    // Opens the named camera's first source stream in its formatIndex-th format. Returns the
    // failing status, or kCMIOHardwareBadDeviceError when no camera of that name is there.
    OSStatus open(const std::string& cameraName, std::size_t formatIndex = 0);
    void close();
    bool isOpen() const;
    // The formats the open stream offers.
    std::vector<CMIOStreamFormat> formats() const;

    // Called for every frame, on the thread it arrives on; set before open().
    void setFrameHandler(FrameHandler handler) { handler_ = std::move(handler); }

    std::vector<Frame> frames() const;
    std::size_t frameCount() const;
    void clearFrames();
    std::shared_ptr<CVPixelBuffer> lastFrame() const;

    // Writes a BGRA frame as an opaque RGB PNG; false if it cannot.
    static bool savePNG(const CVPixelBuffer& frame, const std::string& path);
    static std::uint32_t pixel(const CVPixelBuffer& frame, std::size_t x, std::size_t y);
    static bool everyPixelIs(const CVPixelBuffer& frame, std::uint32_t bgra);

private:
    static void queueAltered(CMIOStreamID stream, void* token, void* refCon);
    void drain();

    mutable std::mutex mutex_;
    FrameHandler handler_;
    CMIODeviceID device_ = 0;
    CMIOStreamID stream_ = 0;
    std::shared_ptr<CMSimpleQueue> queue_;
    std::vector<Frame> frames_;
    std::shared_ptr<CVPixelBuffer> last_;
};

}  // namespace velunto
