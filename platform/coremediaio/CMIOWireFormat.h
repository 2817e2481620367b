#pragma once

// Messages between provider and client processes, over a SOCK_SEQPACKET Unix socket (one message
// per packet): a fixed header with the total length, then the payload.
//   json:    UTF-8 JSON text (requests, replies, events)
//   frame:   WireFrame; carries the pixel buffer's fd (SCM_RIGHTS) the first time a buffer ID is sent
//   release: WireRelease; the receiver let go of frames of that buffer

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/coremedia/CMSampleBuffer.h"
#include "platform/corevideo/CVPixelBuffer.h"

namespace velunto {

enum class WireKind : std::uint32_t { json = 1, frame = 2, release = 3 };

struct WireHeader {
    std::uint32_t magic;
    std::uint32_t length;  // header included
    std::uint32_t kind;
    std::uint32_t reserved;
};

struct WireFrame {
    char streamID[40];  // NUL-terminated
    std::uint64_t bufferID;
    std::uint32_t hasFD;
    std::uint32_t discontinuity;
    std::uint64_t hostTimeInNanoseconds;
    std::int64_t presentationValue;
    std::int32_t presentationTimescale;
    std::uint32_t presentationFlags;
    std::int64_t durationValue;
    std::int32_t durationTimescale;
    std::uint32_t durationFlags;
    std::uint32_t pixelFormat;
    std::uint32_t planeCount;
    std::uint64_t width;
    std::uint64_t height;
    std::uint64_t mappedSize;
    std::uint64_t planeOffset[2];
    std::uint64_t planeBytesPerRow[2];
    std::uint64_t planeWidth[2];
    std::uint64_t planeHeight[2];
};

struct WireRelease {
    std::uint64_t bufferID;
    std::uint32_t count;
    std::uint32_t reserved;
};

inline constexpr std::uint32_t kWireMagic = 0x564D494F;  // "VMIO"
inline constexpr std::size_t kWireMaximumMessage = 256 * 1024;

// A received message: its kind, payload and the fd that came with it (owned; -1 if none).
struct WireMessage {
    WireKind kind;
    std::vector<std::uint8_t> payload;
    int fd = -1;
};

enum class WireReceive { message, closed, malformed };

// Blocking send of one message (MSG_NOSIGNAL); with dontWait, EAGAIN fails instead of waiting.
bool wireSend(int socket, WireKind kind, std::span<const std::uint8_t> payload, int fd, bool dontWait);
// Blocking receive of one message. Anything not exactly as described is malformed; stray fds are closed.
WireReceive wireReceive(int socket, WireMessage* message);

// Encodes a frame's metadata; decodes and checks one (the stream ID's characters, the plane count, ...).
WireFrame wireFrame(const std::string& streamID, const CMSampleBuffer& sampleBuffer, bool hasFD,
                    std::uint32_t discontinuity, std::uint64_t hostTimeInNanoseconds);
std::optional<WireFrame> wireFrameFromPayload(std::span<const std::uint8_t> payload);
CVPixelBufferLayout wireFrameLayout(const WireFrame& frame);
CMSampleTimingInfo wireFrameTiming(const WireFrame& frame);

}  // namespace velunto
