// Everything a peer process can send over a connection's SOCK_SEQPACKET socket, received by a CMIOSocketPeer: raw
// packets with any header and stray descriptors, JSON messages, frames (with the descriptor of a real pixel
// buffer, of an unsealed copy of one, or none) whose metadata may be altered, and releases.
//
// The peer must hand over messages in order and only as sent: the k-th JSON object it delivers is the k-th JSON
// packet's text, the k-th frame the k-th frame packet's stream, timing and layout, and only when that layout is the
// one of the memory behind the buffer ID (every row of which can then be read). It must end the connection on
// its own after the last packet, report that once, and leave no descriptor open once it is gone.
#include "platform/coremedia/CMFormatDescription.h"
#include "platform/coremediaio/CMIOSocketPeer.h"
#include "platform/coremediaio/CMIOWireFormat.h"
#include "platform/corevideo/CVPixelBuffer.h"
#include "platform/oslog/LogSinks.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velunto {
namespace {

constexpr std::size_t kMaximumPackets = 24;
constexpr std::size_t kMaximumStrayDescriptors = 6;
constexpr auto kPatience = std::chrono::seconds(20);

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "socket-peer fuzz check failed: %s\n", what);
        std::abort();
    }
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return size_ == 0; }
    template <class T>
    T take() {
        T value{};
        const std::size_t n = std::min(size_, sizeof value);
        if (n > 0)
            std::memcpy(&value, data_, n);
        data_ += n;
        size_ -= n;
        return value;
    }
    std::vector<std::uint8_t> bytes(std::size_t count) {
        count = std::min(count, size_);
        std::vector<std::uint8_t> out(data_, data_ + count);
        data_ += count;
        size_ -= count;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// Open descriptors with what they refer to.
std::map<int, std::string> openDescriptors() {
    std::map<int, std::string> open;
    if (DIR* directory = ::opendir("/proc/self/fd")) {
        const int own = ::dirfd(directory);
        while (const dirent* entry = ::readdir(directory)) {
            if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own)
                continue;
            char target[256] = {};
            const std::string path = std::string("/proc/self/fd/") + entry->d_name;
            const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
            open[std::atoi(entry->d_name)] = length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "?";
        }
        ::closedir(directory);
    }
    return open;
}

// One sent packet as the receiver should see it: its header's kind (0 if it has no header) and its payload.
struct Sent {
    std::uint32_t kind;
    std::vector<std::uint8_t> payload;
};

struct Exchange {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Sent> sent;
    std::map<std::uint64_t, CVPixelBufferLayout> memory;  // buffer ID -> layout of the first memory sent for it
    std::size_t jsonDelivered = 0;
    std::size_t framesDelivered = 0;
    int closedReports = 0;

    // The payload of the count-th packet (from 0) whose header says `kind`.
    const Sent* nth(std::uint32_t kind, std::size_t count) const {
        for (const Sent& packet : sent)
            if (packet.kind == kind && count-- == 0)
                return &packet;
        return nullptr;
    }
};

bool sameTime(const CMTime& a, const CMTime& b) {
    return a.value == b.value && a.timescale == b.timescale && a.flags == b.flags && a.epoch == b.epoch;
}

void readEveryRow(CVPixelBuffer& buffer) {
    volatile std::uint8_t sink = 0;
    for (std::size_t plane = 0; plane < std::max<std::size_t>(buffer.planeCount(), 1); ++plane) {
        auto* base = static_cast<const std::uint8_t*>(buffer.baseAddressOfPlane(plane));
        require(base != nullptr, "a plane of a delivered buffer has no memory");
        for (std::size_t row = 0; row < buffer.heightOfPlane(plane); ++row) {
            const std::uint8_t* line = base + row * buffer.bytesPerRowOfPlane(plane);
            sink = static_cast<std::uint8_t>(sink + line[0] + line[buffer.bytesPerRowOfPlane(plane) - 1]);
        }
    }
}

void frameDelivered(Exchange& exchange, const std::string& streamID, const CMSampleBufferRef& sampleBuffer,
                    std::uint32_t discontinuity, std::uint64_t hostTime) {
    std::lock_guard lock(exchange.mutex);
    const Sent* packet = exchange.nth(static_cast<std::uint32_t>(WireKind::frame), exchange.framesDelivered++);
    require(packet != nullptr, "a frame was delivered that was never sent");
    require(packet->payload.size() == sizeof(WireFrame), "a frame of the wrong size was delivered");
    WireFrame frame;
    std::memcpy(&frame, packet->payload.data(), sizeof frame);
    require(streamID == std::string(frame.streamID, strnlen(frame.streamID, sizeof frame.streamID)),
            "a frame arrived with another stream ID");
    require(discontinuity == frame.discontinuity && hostTime == frame.hostTimeInNanoseconds,
            "a frame arrived with other flags or host time");
    require(sampleBuffer && sampleBuffer->imageBuffer(), "a frame arrived without an image");
    const CMSampleTimingInfo timing = wireFrameTiming(frame);
    require(sameTime(sampleBuffer->presentationTimeStamp(), timing.presentationTimeStamp) &&
                sameTime(sampleBuffer->duration(), timing.duration),
            "a frame arrived with other timing");
    const CVPixelBufferLayout& layout = sampleBuffer->imageBuffer()->layout();
    require(layout == wireFrameLayout(frame), "a frame arrived with another layout than sent");
    const auto memory = exchange.memory.find(frame.bufferID);
    require(memory != exchange.memory.end() && memory->second == layout,
            "a frame was accepted with a layout that is not the one of its memory");
    readEveryRow(*sampleBuffer->imageBuffer());
}

void jsonDelivered(Exchange& exchange, const nlohmann::json& message) {
    std::lock_guard lock(exchange.mutex);
    const Sent* packet = exchange.nth(static_cast<std::uint32_t>(WireKind::json), exchange.jsonDelivered++);
    require(packet != nullptr, "a message was delivered that was never sent");
    const auto parsed = nlohmann::json::parse(packet->payload.begin(), packet->payload.end(), nullptr, false);
    require(parsed.is_object() && parsed == message, "a message arrived with other contents than sent");
}

// Sends without blocking while the peer may be waiting for room to send its releases: whatever it sent is read
// and dropped meanwhile.
class Sender {
public:
    explicit Sender(int socket) : socket_(socket) {}

    void drain() {
        std::vector<std::uint8_t> buffer(kWireMaximumMessage + 1);
        for (;;) {
            WireMessage message;
            pollfd ready{socket_, POLLIN, 0};
            if (::poll(&ready, 1, 0) <= 0 || (ready.revents & POLLIN) == 0)
                return;
            if (wireReceive(socket_, &message) == WireReceive::closed)
                return;
            if (message.fd >= 0)
                ::close(message.fd);
        }
    }

    // False once the peer has gone.
    template <class Send>
    bool send(Send attempt) {
        for (;;) {
            drain();
            pollfd ready{socket_, POLLOUT, 0};
            if (::poll(&ready, 1, 10) < 0)
                return false;
            if ((ready.revents & (POLLERR | POLLHUP)) != 0)
                return false;
            if ((ready.revents & POLLOUT) == 0)
                continue;
            errno = 0;
            if (attempt())
                return true;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
        }
    }

    bool raw(const std::vector<std::uint8_t>& bytes, const std::vector<int>& fds) {
        return send([&] {
            iovec part{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};  // NOLINT: iovec wants non-const
            msghdr message{};
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaximumStrayDescriptors)] = {};
            if (!fds.empty()) {
                message.msg_control = control;
                message.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
                cmsghdr* item = CMSG_FIRSTHDR(&message);
                if (item == nullptr)
                    return false;
                item->cmsg_level = SOL_SOCKET;
                item->cmsg_type = SCM_RIGHTS;
                item->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
                std::memcpy(CMSG_DATA(item), fds.data(), sizeof(int) * fds.size());
            }
            return ::sendmsg(socket_, &message, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0;
        });
    }

    bool message(WireKind kind, const std::vector<std::uint8_t>& payload, int fd) {
        return send([&] { return wireSend(socket_, kind, payload, fd, true); });
    }

private:
    int socket_;
};

// A copy of a buffer's memory in a memfd that can still shrink: the peer must refuse to map it.
int unsealedCopy(CVPixelBuffer& buffer) {
    const int fd = ::memfd_create("velunto-fuzz-unsealed", MFD_CLOEXEC);
    const std::size_t size = buffer.layout().mappedSize;
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    const void* source =
        static_cast<const std::uint8_t*>(buffer.baseAddressOfPlane(0)) - buffer.layout().planes[0].offset;
    if (::pwrite(fd, source, size, 0) != static_cast<ssize_t>(size)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class Session {
public:
    Session(Input& input, Exchange& exchange, Sender& sender) : in_(input), exchange_(exchange), send_(sender) {}

    ~Session() {
        for (int fd : owned_)
            ::close(fd);
    }

    // False once the peer has gone.
    bool packet() {
        const std::uint8_t op = in_.take<std::uint8_t>();
        switch (op % 4) {
            case 0:
                return raw(op >> 2);
            case 1:
                return json(op >> 2);
            case 2:
                return frame(op >> 2);
            default:
                return release();
        }
    }

private:
    int devNull() {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd >= 0)
            owned_.push_back(fd);
        return fd;
    }

    void record(std::uint32_t kind, std::vector<std::uint8_t> payload) {
        std::lock_guard lock(exchange_.mutex);
        exchange_.sent.push_back({kind, std::move(payload)});
    }

    void remember(std::uint64_t bufferID, const CVPixelBufferLayout& layout) {
        std::lock_guard lock(exchange_.mutex);
        exchange_.memory.emplace(bufferID, layout);
    }

    // Any bytes, header included, with stray descriptors: none, one, two, or more than the receiver has room for.
    bool raw(std::uint8_t how) {
        static const std::size_t counts[] = {0, 1, 2, kMaximumStrayDescriptors};
        const std::vector<std::uint8_t> bytes = in_.bytes(in_.take<std::uint16_t>() % 1024);
        std::vector<int> fds;
        for (std::size_t i = 0; i < counts[how & 3u]; ++i)
            fds.push_back(devNull());
        WireHeader header{};
        if (bytes.size() >= sizeof header)
            std::memcpy(&header, bytes.data(), sizeof header);
        record(bytes.size() >= sizeof header ? header.kind : 0,
               bytes.size() >= sizeof header ? std::vector<std::uint8_t>(bytes.begin() + sizeof header, bytes.end())
                                             : std::vector<std::uint8_t>{});
        return send_.raw(bytes, fds);
    }

    // A JSON message (any text), perhaps with a descriptor it must not carry.
    bool json(std::uint8_t how) {
        const std::vector<std::uint8_t> text = in_.bytes(in_.take<std::uint16_t>() % 2048);
        record(static_cast<std::uint32_t>(WireKind::json), text);
        return send_.message(WireKind::json, text, (how & 1u) != 0 ? devNull() : -1);
    }

    // A frame of a new pixel buffer (its own memory, or an unsealed copy), or of an earlier one; the metadata
    // may then be altered anywhere.
    bool frame(std::uint8_t how) {
        static const OSType formats[] = {kCVPixelFormatType_32BGRA, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange,
                                         kCVPixelFormatType_422YpCbCr8_yuvs, kCVPixelFormatType_422YpCbCr8, 'none'};
        static const char* const streams[] = {"11111111-2222-4333-8444-555555555555", "a", "", "bad id!",
                                              "0123456789012345678901234567890123456789"};
        const unsigned mode = how & 3u;
        std::shared_ptr<CVPixelBuffer> buffer;
        if (mode == 0 || mode == 1) {
            const std::size_t width = in_.take<std::uint8_t>() % 65 + 1;
            const std::size_t height = in_.take<std::uint8_t>() % 65 + 1;
            if (CVPixelBuffer::create(width, height, formats[in_.take<std::uint8_t>() % 5], &buffer) !=
                kCVReturnSuccess)
                return true;
            buffers_.push_back(buffer);
        } else if (!buffers_.empty()) {
            buffer = buffers_[in_.take<std::uint8_t>() % buffers_.size()];
        } else {
            return true;
        }
        int fd = -1;
        if (mode == 0) {
            fd = buffer->sharedMemoryFD();
        } else if (mode == 1) {
            fd = unsealedCopy(*buffer);
            if (fd >= 0)
                owned_.push_back(fd);
        } else if (mode == 3) {
            fd = devNull();
        }
        std::shared_ptr<const CMVideoFormatDescription> description;
        CMSampleBufferRef sampleBuffer;
        const CMSampleTimingInfo timing{CMTime{in_.take<std::int64_t>(), in_.take<std::int32_t>(), 1, 0},
                                        CMTime{in_.take<std::int64_t>(), 30, in_.take<std::uint8_t>(), 0},
                                        kCMTimeInvalid};
        if (CMVideoFormatDescription::createForImageBuffer(*buffer, &description) != noErr ||
            CMSampleBuffer::createReadyWithImageBuffer(buffer, description, timing, &sampleBuffer) != noErr)
            return true;
        const WireFrame frame = wireFrame(streams[in_.take<std::uint8_t>() % 5], *sampleBuffer, fd >= 0,
                                          in_.take<std::uint32_t>(), in_.take<std::uint64_t>());
        std::vector<std::uint8_t> payload(sizeof frame);
        std::memcpy(payload.data(), &frame, sizeof frame);
        if (const std::uint8_t alter = in_.take<std::uint8_t>(); alter >= 128) {
            const std::size_t at = in_.take<std::uint8_t>() % payload.size();
            const std::vector<std::uint8_t> flips = in_.bytes(alter % 9);
            for (std::size_t i = 0; i < flips.size() && at + i < payload.size(); ++i)
                payload[at + i] ^= flips[i];
        }
        if (mode == 0) {
            WireFrame sent;
            std::memcpy(&sent, payload.data(), sizeof sent);
            remember(sent.bufferID, buffer->layout());
        }
        record(static_cast<std::uint32_t>(WireKind::frame), payload);
        return send_.message(WireKind::frame, payload, fd);
    }

    // Any release: the peer sent no frames, so every one is refused.
    bool release() {
        WireRelease release{in_.take<std::uint64_t>(), in_.take<std::uint32_t>(), in_.take<std::uint32_t>()};
        std::vector<std::uint8_t> payload(sizeof release);
        std::memcpy(payload.data(), &release, sizeof release);
        payload.resize(payload.size() - in_.take<std::uint8_t>() % 2);
        record(static_cast<std::uint32_t>(WireKind::release), payload);
        return send_.message(WireKind::release, payload, -1);
    }

    Input& in_;
    Exchange& exchange_;
    Sender& send_;
    std::vector<std::shared_ptr<CVPixelBuffer>> buffers_;
    std::vector<int> owned_;
};

}  // namespace
}  // namespace velunto

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velunto;
    [[maybe_unused]] static const bool quiet = [] {
        LogSinks::setStderrEnabled(false);
        return true;
    }();
    const auto descriptorsBefore = openDescriptors();
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0)
        std::abort();

    Exchange exchange;
    CMIOSocketPeer::Handlers handlers;
    handlers.message = [&exchange](const nlohmann::json& message) { jsonDelivered(exchange, message); };
    handlers.frame = [&exchange](const std::string& streamID, CMSampleBufferRef sampleBuffer,
                                 std::uint32_t discontinuity, std::uint64_t hostTime) {
        frameDelivered(exchange, streamID, sampleBuffer, discontinuity, hostTime);
    };
    handlers.closed = [&exchange] {
        std::lock_guard lock(exchange.mutex);
        ++exchange.closedReports;
        exchange.changed.notify_all();
    };
    std::weak_ptr<CMIOSocketPeer> watched;
    {
        auto peer = CMIOSocketPeer::make(sockets[0], std::move(handlers));
        watched = peer;
        peer->start();
    }

    Input input(data, size);
    Sender sender(sockets[1]);
    {
        Session session(input, exchange, sender);
        for (std::size_t packets = 0; packets < kMaximumPackets && !input.empty(); ++packets)
            if (!session.packet())
                break;
        ::shutdown(sockets[1], SHUT_WR);
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        std::unique_lock lock(exchange.mutex);
        while (exchange.closedReports == 0) {
            lock.unlock();
            sender.drain();
            lock.lock();
            require(std::chrono::steady_clock::now() < deadline, "the peer did not end the connection");
            exchange.changed.wait_for(lock, std::chrono::milliseconds(1));
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!watched.expired()) {
        require(std::chrono::steady_clock::now() < deadline, "the peer outlived its connection");
        std::this_thread::yield();
    }
    {
        std::lock_guard lock(exchange.mutex);
        require(exchange.closedReports == 1, "the end of the connection was not reported exactly once");
    }
    ::close(sockets[1]);
    // The peer's last reference may go just before its destructor closes the socket and mappings.
    auto descriptorsAfter = openDescriptors();
    const auto settled = std::chrono::steady_clock::now() + kPatience;
    while (descriptorsAfter.size() != descriptorsBefore.size() && std::chrono::steady_clock::now() < settled) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        descriptorsAfter = openDescriptors();
    }
    for (const auto& [fd, target] : descriptorsAfter)
        if (!descriptorsBefore.contains(fd))
            std::fprintf(stderr, "left open: %d -> %s\n", fd, target.c_str());
    require(descriptorsAfter.size() == descriptorsBefore.size(), "descriptors were left open");
    return 0;
}
