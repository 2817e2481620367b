#include "demo/CameraViewer.h"

#include <QImage>
#include <algorithm>
#include <cstring>
#include <set>

#include "platform/corefoundation/CFStringBridge.h"
#include "platform/dispatch/HostClock.h"

namespace velunto {

namespace {

CMIOObjectPropertyAddress address(CMIOObjectPropertySelector selector) {
    return {selector, kCMIOObjectPropertyScopeGlobal, kCMIOObjectPropertyElementMain};
}

template <class T>
std::vector<T> readArray(CMIOObjectID object, CMIOObjectPropertySelector selector) {
    const auto where = address(selector);
    UInt32 size = 0;
    if (CMIOObjectGetPropertyDataSize(object, &where, 0, nullptr, &size) != 0)
        return {};
    std::vector<T> values(size / sizeof(T));
    UInt32 used = 0;
    if (CMIOObjectGetPropertyData(object, &where, 0, nullptr, size, &used, values.data()) != 0)
        return {};
    values.resize(used / sizeof(T));
    return values;
}

std::string readName(CMIOObjectID object) {
    const auto where = address(kCMIOObjectPropertyName);
    CFStringRef value = nullptr;
    UInt32 used = 0;
    if (CMIOObjectGetPropertyData(object, &where, 0, nullptr, sizeof value, &used, &value) != 0)
        return {};
    const auto owned = CFOwned<CFStringRef>::adopt(value);
    return stringFromCFString(owned.get()).value_or("");
}

// Viewers that may still receive frames; the media runtime may call a proc it picked up just before
// the stream closed, so a call for a viewer no longer in the set is ignored.
std::mutex liveMutex;
std::set<const void*>& liveViewers() {
    static std::set<const void*> viewers;
    return viewers;
}

}  // namespace

CameraViewer::CameraViewer() {
    std::lock_guard lock(liveMutex);
    liveViewers().insert(this);
}

CameraViewer::~CameraViewer() {
    close();
    std::lock_guard lock(liveMutex);
    liveViewers().erase(this);
}

OSStatus CameraViewer::open(const std::string& cameraName, std::size_t formatIndex) {
    close();
    CMIODeviceID device = 0;
    for (CMIOObjectID candidate : readArray<CMIOObjectID>(kCMIOObjectSystemObject, kCMIOHardwarePropertyDevices))
        if (readName(candidate) == cameraName) {
            device = candidate;
            break;
        }
    if (device == 0)
        return kCMIOHardwareBadDeviceError;
    CMIOStreamID stream = 0;
    for (CMIOStreamID candidate : readArray<CMIOStreamID>(device, kCMIODevicePropertyStreams)) {
        const auto direction = readArray<UInt32>(candidate, kCMIOStreamPropertyDirection);
        if (!direction.empty() && direction[0] == kCMIOStreamDirectionSource) {
            stream = candidate;
            break;
        }
    }
    if (stream == 0)
        return kCMIOHardwareBadStreamError;

    const auto offered = readArray<CMIOStreamFormat>(stream, kCMIOStreamPropertyFormatDescriptions);
    if (formatIndex >= offered.size())
        return kCMIODeviceUnsupportedFormatError;
    const auto formatAddress = address(kCMIOStreamPropertyFormatDescription);
    const CMIOStreamFormat format = offered[formatIndex];
    if (const OSStatus status = CMIOObjectSetPropertyData(stream, &formatAddress, 0, nullptr, sizeof format, &format))
        return status;

    std::shared_ptr<CMSimpleQueue> queue;
    if (const OSStatus status = CMIOStreamCopyBufferQueue(stream, &CameraViewer::queueAltered, this, &queue))
        return status;
    {
        std::lock_guard lock(mutex_);
        device_ = device;
        stream_ = stream;
        queue_ = queue;
    }
    if (const OSStatus status = CMIODeviceStartStream(device, stream)) {
        close();
        return status;
    }
    return 0;
}

void CameraViewer::close() {
    CMIODeviceID device;
    CMIOStreamID stream;
    {
        std::lock_guard lock(mutex_);
        device = device_;
        stream = stream_;
        device_ = stream_ = 0;
        queue_.reset();
    }
    if (stream != 0) {
        CMIODeviceStopStream(device, stream);
        std::shared_ptr<CMSimpleQueue> unused;
        CMIOStreamCopyBufferQueue(stream, nullptr, nullptr, &unused);
    }
}

bool CameraViewer::isOpen() const {
    std::lock_guard lock(mutex_);
    return stream_ != 0;
}

std::vector<CMIOStreamFormat> CameraViewer::formats() const {
    std::lock_guard lock(mutex_);
    return stream_ ? readArray<CMIOStreamFormat>(stream_, kCMIOStreamPropertyFormatDescriptions)
                   : std::vector<CMIOStreamFormat>{};
}

void CameraViewer::queueAltered(CMIOStreamID, void*, void* refCon) {
    std::lock_guard lock(liveMutex);
    if (liveViewers().contains(refCon))
        static_cast<CameraViewer*>(refCon)->drain();
}

void CameraViewer::drain() {
    std::shared_ptr<CMSimpleQueue> queue;
    {
        std::lock_guard lock(mutex_);
        queue = queue_;
    }
    if (!queue)
        return;
    while (const auto sampleBuffer = queue->dequeue()) {
        const auto& image = sampleBuffer->imageBuffer();
        if (!image)
            continue;
        const CMTime presented = sampleBuffer->presentationTimeStamp();
        const std::uint64_t presentedAt = presented.timescale == 1'000'000'000
                                              ? static_cast<std::uint64_t>(presented.value)
                                              : static_cast<std::uint64_t>(CMTimeGetSeconds(presented) * 1e9);
        const Frame frame{HostClock::nowNanoseconds(), presentedAt, image->width(), image->height(),
                          pixel(*image, image->width() / 2, image->height() / 2)};
        if (handler_)
            handler_(*image);
        std::lock_guard lock(mutex_);
        frames_.push_back(frame);
        last_ = image;
    }
}

std::vector<CameraViewer::Frame> CameraViewer::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

std::size_t CameraViewer::frameCount() const {
    std::lock_guard lock(mutex_);
    return frames_.size();
}

void CameraViewer::clearFrames() {
    std::lock_guard lock(mutex_);
    frames_.clear();
}

std::shared_ptr<CVPixelBuffer> CameraViewer::lastFrame() const {
    std::lock_guard lock(mutex_);
    return last_;
}

std::uint32_t CameraViewer::pixel(const CVPixelBuffer& frame, std::size_t x, std::size_t y) {
    if (frame.pixelFormatType() != kCVPixelFormatType_32BGRA || x >= frame.width() || y >= frame.height())
        return 0;
    const auto* row = static_cast<const std::uint8_t*>(frame.baseAddressOfPlane(0)) + y * frame.bytesPerRow();
    std::uint32_t word;
    std::memcpy(&word, row + x * 4, sizeof word);
    return word;
}

bool CameraViewer::everyPixelIs(const CVPixelBuffer& frame, std::uint32_t bgra) {
    if (frame.pixelFormatType() != kCVPixelFormatType_32BGRA)
        return false;
    for (std::size_t y = 0; y < frame.height(); ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(
            static_cast<const std::uint8_t*>(frame.baseAddressOfPlane(0)) + y * frame.bytesPerRow());
        if (!std::all_of(row, row + frame.width(), [&](std::uint32_t word) { return word == bgra; }))
            return false;
    }
    return true;
}

bool CameraViewer::savePNG(const CVPixelBuffer& frame, const std::string& path) {
    if (frame.pixelFormatType() != kCVPixelFormatType_32BGRA)
        return false;
    // BGRA bytes are ARGB32 words on a little-endian machine.
    const QImage image(static_cast<const uchar*>(frame.baseAddressOfPlane(0)), static_cast<int>(frame.width()),
                       static_cast<int>(frame.height()), static_cast<qsizetype>(frame.bytesPerRow()),
                       QImage::Format_ARGB32);
    return image.convertToFormat(QImage::Format_RGB888).save(QString::fromStdString(path), "PNG");
}

}  // namespace velunto
