#include "platform/coremediaio/CMIOWireFormat.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velunto {

bool wireSend(int socket, WireKind kind, std::span<const std::uint8_t> payload, int fd, bool dontWait) {
    if (payload.size() + sizeof(WireHeader) > kWireMaximumMessage)
        return false;
    WireHeader header{kWireMagic, static_cast<std::uint32_t>(sizeof(WireHeader) + payload.size()),
                      static_cast<std::uint32_t>(kind), 0};
    iovec parts[2] = {{&header, sizeof header},
                      {const_cast<std::uint8_t*>(payload.data()), payload.size()}};  // NOLINT: iovec wants non-const
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = payload.empty() ? 1 : 2;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* item = CMSG_FIRSTHDR(&message);
        item->cmsg_level = SOL_SOCKET;
        item->cmsg_type = SCM_RIGHTS;
        item->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(item), &fd, sizeof fd);
    }
    const int flags = MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0);
    for (;;) {
        const ssize_t sent = ::sendmsg(socket, &message, flags);
        if (sent == static_cast<ssize_t>(header.length))
            return true;
        if (sent < 0 && errno == EINTR)
            continue;
        return false;
    }
}

WireReceive wireReceive(int socket, WireMessage* out) {
    std::vector<std::uint8_t> buffer(kWireMaximumMessage + 1);
    iovec part{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received;
    do {
        received = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (received < 0 && errno == EINTR);
    if (received < 0)
        return WireReceive::closed;

    std::vector<int> fds;
    for (cmsghdr* item = CMSG_FIRSTHDR(&message); item; item = CMSG_NXTHDR(&message, item)) {
        if (item->cmsg_level != SOL_SOCKET || item->cmsg_type != SCM_RIGHTS)
            continue;
        const std::size_t count = (item->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(item) + i * sizeof(int), sizeof fd);
            fds.push_back(fd);
        }
    }
    auto malformed = [&] {
        for (int fd : fds)
            ::close(fd);
        return WireReceive::malformed;
    };
    // No bytes is the end of the connection, unless descriptors came: then it was an empty packet.
    if (received == 0)
        return fds.empty() ? WireReceive::closed : malformed();
    if ((message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 || fds.size() > 1 ||
        static_cast<std::size_t>(received) < sizeof(WireHeader))
        return malformed();
    WireHeader header;
    std::memcpy(&header, buffer.data(), sizeof header);
    if (header.magic != kWireMagic || header.length != static_cast<std::size_t>(received) || header.reserved != 0 ||
        header.kind < static_cast<std::uint32_t>(WireKind::json) ||
        header.kind > static_cast<std::uint32_t>(WireKind::release))
        return malformed();
    out->kind = static_cast<WireKind>(header.kind);
    if (!fds.empty() && out->kind != WireKind::frame)
        return malformed();
    out->payload.assign(buffer.begin() + sizeof header, buffer.begin() + received);
    out->fd = fds.empty() ? -1 : fds.front();
    return WireReceive::message;
}

WireFrame wireFrame(const std::string& streamID, const CMSampleBuffer& sampleBuffer, bool hasFD,
                    std::uint32_t discontinuity, std::uint64_t hostTimeInNanoseconds) {
    WireFrame frame{};
    std::memcpy(frame.streamID, streamID.data(), std::min(streamID.size(), sizeof frame.streamID - 1));
    const auto& layout = sampleBuffer.imageBuffer()->layout();
    frame.bufferID = layout.bufferID;
    frame.hasFD = hasFD ? 1 : 0;
    frame.discontinuity = discontinuity;
    frame.hostTimeInNanoseconds = hostTimeInNanoseconds;
    const auto& timing = sampleBuffer.timing();
    frame.presentationValue = timing.presentationTimeStamp.value;
    frame.presentationTimescale = timing.presentationTimeStamp.timescale;
    frame.presentationFlags = timing.presentationTimeStamp.flags;
    frame.durationValue = timing.duration.value;
    frame.durationTimescale = timing.duration.timescale;
    frame.durationFlags = timing.duration.flags;
    frame.pixelFormat = layout.pixelFormat;
    frame.planeCount = static_cast<std::uint32_t>(layout.planeCount);
    frame.width = layout.width;
    frame.height = layout.height;
    frame.mappedSize = layout.mappedSize;
    for (std::size_t i = 0; i < 2; ++i) {
        frame.planeOffset[i] = layout.planes[i].offset;
        frame.planeBytesPerRow[i] = layout.planes[i].bytesPerRow;
        frame.planeWidth[i] = layout.planes[i].width;
        frame.planeHeight[i] = layout.planes[i].height;
    }
    return frame;
}

std::optional<WireFrame> wireFrameFromPayload(std::span<const std::uint8_t> payload) {
    if (payload.size() != sizeof(WireFrame))
        return std::nullopt;
    WireFrame frame;
    std::memcpy(&frame, payload.data(), sizeof frame);
    const std::size_t length = strnlen(frame.streamID, sizeof frame.streamID);
    if (length == 0 || length == sizeof frame.streamID)
        return std::nullopt;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = frame.streamID[i];
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
        if (!ok)
            return std::nullopt;
    }
    if (frame.hasFD > 1 || frame.planeCount > 2 || frame.width == 0 || frame.height == 0)
        return std::nullopt;
    return frame;
}

CVPixelBufferLayout wireFrameLayout(const WireFrame& frame) {
    CVPixelBufferLayout layout{};
    layout.pixelFormat = frame.pixelFormat;
    layout.width = frame.width;
    layout.height = frame.height;
    layout.planeCount = frame.planeCount;
    for (std::size_t i = 0; i < 2; ++i)
        layout.planes[i] = {frame.planeOffset[i], frame.planeBytesPerRow[i], frame.planeWidth[i], frame.planeHeight[i]};
    layout.mappedSize = frame.mappedSize;
    layout.bufferID = frame.bufferID;
    return layout;
}

CMSampleTimingInfo wireFrameTiming(const WireFrame& frame) {
    CMSampleTimingInfo timing;
    timing.presentationTimeStamp = {frame.presentationValue, frame.presentationTimescale, frame.presentationFlags, 0};
    timing.duration = {frame.durationValue, frame.durationTimescale, frame.durationFlags, 0};
    timing.decodeTimeStamp = kCMTimeInvalid;
    return timing;
}

}  // namespace velunto
