#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/v4l2/V4L2DeviceIO.h"
#include "platform/v4l2/V4L2DeviceWatcher.h"
#include "platform/v4l2/V4L2FrameDecoder.h"

namespace velunto {

// One size of a fake device's format, with the rates it offers there.
struct V4L2FakeFrameSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint32_t> framesPerSecond{30};
};

// Sizes a node offers as a range rather than a list.
struct V4L2FakeSizeRange {
    std::uint32_t minWidth, maxWidth, stepWidth;
    std::uint32_t minHeight, maxHeight, stepHeight;
    std::vector<std::uint32_t> framesPerSecond{30};
};

struct V4L2FakeFormat {
    std::uint32_t pixelFormat = 0;
    std::vector<V4L2FakeFrameSize> sizes;
    std::optional<V4L2FakeSizeRange> range;  // instead of sizes
};

// A device node the fake kernel answers for.
struct V4L2FakeDevice {
    std::string path;
    std::string driver = "uvcvideo";
    std::string card;
    std::string busInfo;
    std::uint32_t capabilities = 0;       // device caps (V4L2_CAP_*)
    std::vector<V4L2FakeFormat> formats;  // capture formats
    std::uint32_t rowPadding = 0;         // bytes per line beyond the minimum, for raw formats
    bool fullRange = false;
    std::vector<std::uint32_t> streamOnRefused;  // formats whose STREAMON fails with ENOSPC
    // v4l2loopback features of an output node.
    bool clientUsageEvents = false;
    bool keepFormatControl = false;

    // A USB camera node (capture + streaming).
    static V4L2FakeDevice camera(std::string path, std::string card, std::string busInfo,
                                 std::vector<V4L2FakeFormat> formats);
    // A v4l2loopback node waiting for a writer (output only, as with exclusive_caps=1).
    static V4L2FakeDevice loopback(std::string path, std::string card);
};

// An in-memory stand-in for the V4L2 part of the kernel: device nodes that answer the ioctls the
// capture and loopback code use, mmap streaming with frames the test pushes in, write() on output
// nodes, the client-usage event, and hot-plug (through the watchers it makes). Descriptors it hands
// out are real eventfds, so poll() can mix them with the caller's own descriptors. Thread-safe.
class V4L2FakeKernel : public V4L2DeviceIO {
public:
    struct Frame {
        std::vector<std::uint8_t> bytes;
        std::optional<std::uint64_t> monotonicNanoseconds;  // none: the driver gives no usable stamp
        bool error = false;                                 // V4L2_BUF_FLAG_ERROR
    };
    // What a node has been set to.
    struct StreamState {
        V4L2StreamFormat format;
        std::uint32_t framesPerSecond = 0;
        bool streaming = false;
    };

    static constexpr std::chrono::seconds kDefaultWait{10};

    V4L2FakeKernel();
    ~V4L2FakeKernel() override;
    V4L2FakeKernel(const V4L2FakeKernel&) = delete;
    V4L2FakeKernel& operator=(const V4L2FakeKernel&) = delete;

    void plug(V4L2FakeDevice device);
    // The node disappears; descriptors still open on it answer ENODEV and poll as POLLERR | POLLHUP.
    void unplug(const std::string& path);
    // Called on plug() and unplug(), on the caller's thread, until stopped.
    std::unique_ptr<V4L2DeviceWatcher> makeWatcher();

    // Waits (up to `wait`) for the node to stream with a buffer queued, then fills that buffer.
    bool emit(const std::string& path, Frame frame, std::chrono::milliseconds wait = kDefaultWait);
    // emit() with the test pattern for the node's current format.
    bool emitPattern(const std::string& path, std::uint32_t seed, std::optional<std::uint64_t> monotonicNanoseconds,
                     std::chrono::milliseconds wait = kDefaultWait);
    bool waitUntilStreaming(const std::string& path, bool streaming, std::chrono::milliseconds wait = kDefaultWait);

    std::optional<StreamState> captureState(const std::string& path) const;
    std::optional<StreamState> outputState(const std::string& path) const;
    std::vector<std::vector<std::uint8_t>> writtenFrames(const std::string& path) const;
    bool keepFormat(const std::string& path) const;
    // Readers other than the writer; subscribers to the client-usage event hear the change.
    void setReaderCount(const std::string& path, std::uint32_t readers);
    std::size_t openDescriptors() const;
    std::size_t liveMappings() const;

    // The raw test pattern: byte value of sample x in row y of plane `plane`.
    static std::uint8_t patternByte(std::uint32_t x, std::uint32_t y, std::uint32_t plane, std::uint32_t seed);
    // A whole frame of the pattern laid out as the format says (padding bytes are 0xEE). MJPEG: the
    // pattern's luma as a grey 4:2:0 JPEG.
    static std::vector<std::uint8_t> pattern(const V4L2StreamFormat& format, std::uint32_t seed);

    // V4L2DeviceIO
    std::vector<std::string> devicePaths() override;
    int open(const std::string& path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    void* mmap(std::size_t length, int protection, int flags, int fd, off_t offset) override;
    int munmap(void* address, std::size_t length) override;
    int poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) override;
    ssize_t write(int fd, const void* data, std::size_t size) override;

private:
    struct Node;
    struct Handle;
    class Watcher;

    int ioctlLocked(Handle& handle, unsigned long request, void* argument);
    Handle* presentHandleLocked(int fd);
    short readinessLocked(int fd) const;
    void notifyWatchers();
    static void ring(int fd);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, std::shared_ptr<Node>> nodes_;
    std::map<int, std::shared_ptr<Handle>> handles_;
    std::map<void*, std::size_t> mappings_;  // address → count
    std::mutex watchersMutex_;
    std::vector<Watcher*> watchers_;
};

}  // namespace velunto
